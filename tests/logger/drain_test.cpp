// The module's drain: order of the lines, the attribute block, what ends a
// drain, and a full disk that loses and tears nothing.
#include <dirent.h>
#include <fcntl.h>
#include <mqueue.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "logger/compose.h"
#include "logger/logger.h"
#include "sandbox.h"
#include "shared_data.h"
#include "testbed.h"

extern "C" void c_caller_posts(void);

namespace {

const std::string kEmptyBlock =
    "[mq_attr_info]:mq_msgsize: 8192\nmq_flag: 2048\nmq_maxmsg: 10\nmq_curmsg: 0\n";

using bed::Output;

const std::string kFiller = bed::kDir + "filler";

// A 16 KiB tmpfs over the log directory, room left for `room` bytes of log.
class FullDisk : public bed::Test {
  protected:
    void fill(size_t room) {
        ASSERT_EQ(mount("tembra-full", bed::kDir.c_str(), "tmpfs", 0, "size=16k,mode=0755"), 0);
        std::string filler(16384 - room, 'f');
        int fd = open(kFiller.c_str(), O_WRONLY | O_CREAT, 0600);
        ASSERT_EQ(write(fd, filler.data(), filler.size()), (ssize_t)filler.size());
        close(fd);
    }
    void TearDown() override {
        umount2(bed::kDir.c_str(), MNT_DETACH);
        bed::Test::TearDown();
    }
};

class Drain : public bed::Test {};

TEST_F(Drain, HighestLevelFirstAndInPostingOrderWithinALevel) {
    Output out = bed::in_child([] {
        Log_Init();
        Log_Send(LogInfo, LogProgram, "zero");
        Log_Send(LogAlert, LogProgram, "four");
        Log_Send(LogDebug, LogProgram, "one");
        Log_Send(LogWarn, LogProgram, "first");
        Log_Send(LogWarn, LogProgram, "second");
        Log_Write();
        return 0;
    });
    std::string p = bed::line_pattern("[A-Z]+", "PROGRAM", "([a-z]+)");
    std::string file = bed::log_contents();
    std::vector<std::string> order;
    std::regex line(p);
    for (auto it = std::sregex_iterator(file.begin(), file.end(), line); it != std::sregex_iterator(); ++it)
        order.push_back((*it)[1]);
    EXPECT_EQ(order, (std::vector<std::string>{"four", "first", "second", "one", "zero"})) << file;
    EXPECT_EQ(bed::pending(), 0);
}

TEST_F(Drain, DemoLinesLandDebugThenInfo) {
    auto [debug, info] = bed::demo_lines(bed::run({"tembra-demo"}));
    Output drain = bed::in_child([] {
        Log_Init();
        Log_Write();
        return 0;
    });
    EXPECT_EQ(drain.out, "[mq_attr_info]:mq_msgsize: 8192\nmq_flag: 2048\nmq_maxmsg: 10\nmq_curmsg: 2\n");
    EXPECT_EQ(bed::log_contents(), debug + info);
}

TEST_F(Drain, EmptyQueuePrintsTheBlockAndWritesNothing) {
    Output drain = bed::in_child([] {
        Log_Init();
        Log_Write();
        return 0;
    });
    EXPECT_EQ(drain.out, kEmptyBlock);
    EXPECT_EQ(drain.err, "");
    EXPECT_NE(bed::log_file_name(), "");
    EXPECT_EQ(bed::log_contents(), "");
}

TEST_F(Drain, ZeroLengthMessageEndsTheDrain) {
    bed::post("a", 3);
    bed::post("", 2);
    bed::post("b", 1);
    bed::in_child([] {
        Log_Init();
        Log_Write();
        return 0;
    });
    EXPECT_EQ(bed::log_contents(), "a");
    EXPECT_EQ(bed::pending(), 1);
}

TEST_F(Drain, WritesExactlyTheBytesReceived) {
    const std::string full(LOG_LINE_SIZE, 'A');
    const std::string with_nul("x\0y", 3);
    bed::post(full, 3);
    bed::post(with_nul, 2);
    bed::post("short", 1);
    Output out = bed::in_child([] {
        Log_Init();
        Log_Write();
        for (char byte : LogLine)
            if (byte != 0) return 1;
        return 0;
    });
    EXPECT_EQ(out.status, 0) << "LogLine must read empty after a drain";
    EXPECT_EQ(bed::log_contents(), full + with_nul + "short");
}

TEST_F(Drain, WithoutAFileLeavesTheQueueAndSaysSo) {
    bed::remove_log_dir();
    Output out = bed::in_child([] {
        Log_Init();
        Log_Send(LogInfo, LogProgram, "kept");
        Log_Write();
        return 0;
    });
    EXPECT_NE(out.out.find("[mq_attr_info]:mq_msgsize: 8192\nmq_flag: 2048\nmq_maxmsg: 10\nmq_curmsg: 1\n"),
              std::string::npos);
    EXPECT_TRUE(bed::matches(out.err, "[^]*\n 43Log_Write: [^\n]*\n")) << out.err;
    EXPECT_EQ(bed::pending(), 1);
}

TEST_F(Drain, FailedReceiveIsReported) {
    Output bad = bed::in_child([] {
        Log_Init();
        mq_close(mqd);
        mqd = (mqd_t)-1;
        Log_Write();
        return 0;
    });
    EXPECT_EQ(bad.out, "[mq_attr_info]:mq_msgsize: 0\nmq_flag: 0\nmq_maxmsg: 0\nmq_curmsg: 0\n");
    EXPECT_EQ(bad.err, "Bad file descriptor :mq_receive()[Log_Write]\n");

    bed::reset();
    mqd_t q = sandbox_create_queue(10, 2 * LOG_LINE_SIZE);
    if (q == (mqd_t)-1) GTEST_SKIP() << "cannot create a queue with messages over 8192 bytes here";
    mq_close(q);
    bed::post("waits", 1);
    Output big = bed::in_child([] {
        Log_Init();
        Log_Write();
        return 0;
    });
    EXPECT_EQ(big.err, "Message too long :mq_receive()[Log_Write]\n");
    EXPECT_EQ(bed::pending(), 1);
}

TEST_F(Drain, DrainedLinesAreInTheFileEvenWithoutANormalExit) {
    bed::in_child([] {
        Log_Init();
        Log_Send(LogError, LogServer, "survives");
        Log_Write();
        _exit(0);
        return 0;
    });
    EXPECT_TRUE(bed::matches(bed::log_contents(), bed::line_pattern("ERROR", "SERVER", "survives")));
}

TEST_F(FullDisk, NothingIsLostOrTornAndWritingResumes) {
    if (!bed::can_raise_mqueue_limit()) GTEST_SKIP() << bed::kNoMqueueSysctl;
    constexpr int kLines = 180;  // 12,600 bytes: too many for 4 KiB, all fit in 16 KiB
    for (bool follow : {false, true}) {
        SCOPED_TRACE(follow ? "--follow" : "once");
        bed::reset();
        bed::post_numbered(kLines);
        fill(4096);
        const std::string path = bed::day_path();
        size_t written = 0;
        Output out;
        if (follow) {
            bed::RunningDrain follower;
            ASSERT_TRUE(bed::wait_for([&] { return !bed::read_file(path).empty(); }, 2000));
            usleep(600000);  // several retries while the disk stays full
            written = bed::checked_lines(bed::read_file(path)).size();
            long waiting = bed::pending();
            EXPECT_GE(written + waiting, size_t(kLines - 16)) << "more than a batch taken off while failing";
            EXPECT_LT(written + waiting, size_t(kLines));
            unlink(kFiller.c_str());
            EXPECT_TRUE(bed::wait_for([&] { return bed::lines_of(bed::read_file(path)).size() == kLines; }, 2000))
                << "not every line written within 2 s of space coming back";
            out = follower.stop(SIGTERM);
            EXPECT_EQ(out.status, 0);
            EXPECT_EQ(bed::count_of(out.err, " lines written late\n"), 1u) << out.err;
        } else {
            out = bed::run({"tembra-drain"});
            EXPECT_EQ(out.status, 1);
            written = bed::checked_lines(bed::read_file(path)).size();
            EXPECT_GT(written, 0u);
            EXPECT_EQ(written + bed::pending(), size_t(kLines)) << "the kept lines are not back in the queue";
            EXPECT_EQ(bed::count_of(out.err, " unwritten lines put back on the queue\n"), 1u) << out.err;
            auto queued = bed::take_all();
            for (const auto &m : queued) EXPECT_EQ(m.bytes.substr(0, 4), "[L" + std::to_string(m.priority) + "]");
            for (const auto &m : queued) bed::post(m.bytes, m.priority);
            unlink(kFiller.c_str());
            EXPECT_EQ(bed::run({"tembra-drain"}).status, 0);
        }
        EXPECT_EQ(bed::count_of(out.err, "Log_Write: cannot write " + path + ": No space left on device;"), 1u)
            << out.err;
        EXPECT_EQ(bed::checked_lines(bed::read_file(path)).size(), size_t(kLines));
        EXPECT_EQ(bed::pending(), 0);
        umount2(bed::kDir.c_str(), MNT_DETACH);
    }
}

TEST_F(FullDisk, KeptLinesOutliveASecondSetUpAndAreReportedWhenTheQueueCannotTakeThemBack) {
    if (!bed::can_raise_mqueue_limit()) GTEST_SKIP() << bed::kNoMqueueSysctl;
    bed::post_numbered(20);
    fill(0);
    Output out = bed::in_child([] {
        Log_Init();
        if (Log_Drain() != -1) return 1;
        Log_Init();
        unlink(kFiller.c_str());
        return Log_Drain() == 20 ? 0 : 2;
    });
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(bed::checked_lines(bed::log_contents()).size(), 20u);

    bed::post_numbered(20);
    fill(0);
    out = bed::in_child([] {
        Log_Init();
        if (Log_Drain() != -1) return 1;
        while (mq_send(mqd, "filler", 6, 0) == 0) {
        }
        std::exit(0);  // the queue is full when the kept lines go back at exit
        return 0;
    });
    EXPECT_EQ(bed::count_of(out.err, "Log_Write: lost a "), 16u) << out.err;
    EXPECT_NE(out.err.find("Log_Write: lost a ALERT line: " + bed::numbered(4).substr(0, 60) + "\n"), std::string::npos)
        << out.err;
    EXPECT_NE(out.err.find("0 of 16 unwritten lines put back"), std::string::npos) << out.err;
}

}  // namespace
