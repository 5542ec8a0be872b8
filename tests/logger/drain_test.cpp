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
#include "testbed.h"

extern "C" void c_caller_posts(void);

namespace {

const std::string kEmptyBlock =
    "[mq_attr_info]:mq_msgsize: 8192\nmq_flag: 2048\nmq_maxmsg: 10\nmq_curmsg: 0\n";

using bed::Output;

// Splits the demo's standard output into its two lines, checking the empty lines.
std::pair<std::string, std::string> demo_lines(const Output &demo) {
    const std::string debug = bed::line_pattern("DEBUG", "SERVER", "yes i succeed!");
    const std::string info = bed::line_pattern("INFO", "PROGRAM", "world!");
    EXPECT_TRUE(bed::matches(demo.out, debug + "\n" + info + "\n")) << demo.out;
    if (demo.out.size() != 53 + 1 + 45 + 1) return {"", ""};
    return {demo.out.substr(0, 53), demo.out.substr(54, 45)};
}

const std::string kFiller = bed::kDir + "filler";

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start + 1));
    return lines;
}

// A drain left running; killed if a failed assertion leaves the test early.
struct Follower {
    bed::Background drain;
    explicit Follower(const std::vector<std::string> &env = {}) : drain(bed::start({"tembra-drain", "--follow"}, env)) {}
    ~Follower() {
        if (drain.pid > 0) bed::finish(drain, SIGKILL);
    }
    Output stop(int signal) { return bed::finish(drain, signal); }
};

// Line k of a numbered set: 70 bytes, its level in the text, so that a line put
// back on the queue can be checked against its own priority. A batch (1,120
// bytes) does not divide a page, so a full disk cuts a write short.
std::string numbered(int k) {
    char text[80];
    std::snprintf(text, sizeof text, "[L%d] numbered line %03d %-46s\n", k % 5, k, "");
    return text;
}

// Posts count numbered lines at priority = level into a queue deep enough.
void post_numbered(int count) {
    mqd_t q = sandbox_create_queue(count, 128);
    ASSERT_NE(q, (mqd_t)-1) << "cannot create a queue of " << count << " lines";
    for (int k = 0; k < count; ++k) ASSERT_EQ(mq_send(q, numbered(k).data(), numbered(k).size(), (unsigned)(k % 5)), 0);
    mq_close(q);
}

// Every line of the file is one of the numbered lines, and none twice.
std::set<std::string> checked_lines(const std::string &file) {
    std::set<std::string> seen;
    EXPECT_TRUE(file.empty() || file.back() == '\n') << "the file ends in a torn line";
    for (const std::string &line : lines_of(file)) {
        EXPECT_TRUE(bed::matches(line, "\\[L[0-4]\\] numbered line [0-9]{3} +\n")) << "torn: " << line;
        EXPECT_TRUE(seen.insert(line).second) << "twice: " << line;
    }
    return seen;
}

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
    auto [debug, info] = demo_lines(bed::run({"tembra-demo"}));
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
        post_numbered(kLines);
        fill(4096);
        const std::string path = bed::day_path();
        size_t written = 0;
        Output out;
        if (follow) {
            Follower follower;
            ASSERT_TRUE(bed::wait_for([&] { return !bed::read_file(path).empty(); }, 2000));
            usleep(600000);  // several retries while the disk stays full
            written = checked_lines(bed::read_file(path)).size();
            long waiting = bed::pending();
            EXPECT_GE(written + waiting, size_t(kLines - 16)) << "more than a batch taken off while failing";
            EXPECT_LT(written + waiting, size_t(kLines));
            unlink(kFiller.c_str());
            EXPECT_TRUE(bed::wait_for([&] { return lines_of(bed::read_file(path)).size() == kLines; }, 2000))
                << "not every line written within 2 s of space coming back";
            out = follower.stop(SIGTERM);
            EXPECT_EQ(out.status, 0);
            EXPECT_EQ(bed::count_of(out.err, " lines written late\n"), 1u) << out.err;
        } else {
            out = bed::run({"tembra-drain"});
            EXPECT_EQ(out.status, 1);
            written = checked_lines(bed::read_file(path)).size();
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
        EXPECT_EQ(checked_lines(bed::read_file(path)).size(), size_t(kLines));
        EXPECT_EQ(bed::pending(), 0);
        umount2(bed::kDir.c_str(), MNT_DETACH);
    }
}

TEST_F(FullDisk, KeptLinesOutliveASecondSetUpAndAreReportedWhenTheQueueCannotTakeThemBack) {
    if (!bed::can_raise_mqueue_limit()) GTEST_SKIP() << bed::kNoMqueueSysctl;
    post_numbered(20);
    fill(0);
    Output out = bed::in_child([] {
        Log_Init();
        if (Log_Drain() != -1) return 1;
        Log_Init();
        unlink(kFiller.c_str());
        return Log_Drain() == 20 ? 0 : 2;
    });
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(checked_lines(bed::log_contents()).size(), 20u);

    post_numbered(20);
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
    EXPECT_NE(out.err.find("Log_Write: lost a ALERT line: " + numbered(4).substr(0, 60) + "\n"), std::string::npos)
        << out.err;
    EXPECT_NE(out.err.find("0 of 16 unwritten lines put back"), std::string::npos) << out.err;
}

}  // namespace
