// The queue transport and the demo, end to end on the private queue and log
// directory: echo, trace, post, set-up failures and the drain.
#include <dirent.h>
#include <fcntl.h>
#include <mqueue.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <regex>
#include <string>

#include "logger/compose.h"
#include "logger/logger.h"
#include "sandbox.h"
#include "testbed.h"

extern "C" void c_caller_posts(void);

namespace {

using bed::Output;

const std::string kFull = "Resource temporarily unavailable :mq_send()[Log_Send]\n";
const std::string kBadQueue = "Bad file descriptor :mq_send()[Log_Send]\n";
const std::string kEmptyBlock =
    "[mq_attr_info]:mq_msgsize: 8192\nmq_flag: 2048\nmq_maxmsg: 10\nmq_curmsg: 0\n";

// Splits the demo's standard output into its two lines, checking the empty lines.
std::pair<std::string, std::string> demo_lines(const Output &demo) {
    const std::string debug = bed::line_pattern("DEBUG", "SERVER", "yes i succeed!");
    const std::string info = bed::line_pattern("INFO", "PROGRAM", "world!");
    EXPECT_TRUE(bed::matches(demo.out, debug + "\n" + info + "\n")) << demo.out;
    if (demo.out.size() != 53 + 1 + 45 + 1) return {"", ""};
    return {demo.out.substr(0, 53), demo.out.substr(54, 45)};
}

int open_fds() {
    int count = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (readdir(dir)) ++count;
        closedir(dir);
    }
    return count;
}

class Demo : public bed::Test {};
class SetUp : public bed::Test {};
class Post : public bed::Test {};
class Drain : public bed::Test {};

TEST_F(Demo, EchoesTracesAndLeavesTwoMessages) {
    Output demo = bed::run({"tembra-demo"});
    EXPECT_EQ(demo.status, 0);
    auto [debug, info] = demo_lines(demo);
    EXPECT_EQ(demo.err, "LogLine: " + debug + " 53" + "LogLine: " + info + " 45");

    auto queued = bed::take_all();
    ASSERT_EQ(queued.size(), 2u);
    EXPECT_EQ(queued[0].bytes, debug);
    EXPECT_EQ(queued[0].priority, 1u);
    EXPECT_EQ(queued[1].bytes, info);
    EXPECT_EQ(queued[1].priority, 0u);
    EXPECT_EQ(bed::log_contents(), "") << "posting never writes the file";
}

TEST_F(Demo, FullQueueLosesTheLinesButStillEchoesAndTraces) {
    for (int run = 0; run < 5; ++run) ASSERT_EQ(bed::run({"tembra-demo"}).err.find("mq_send"), std::string::npos);
    EXPECT_EQ(bed::pending(), 10);
    Output sixth = bed::run({"tembra-demo"});
    EXPECT_EQ(sixth.status, 0);
    auto [debug, info] = demo_lines(sixth);
    EXPECT_EQ(sixth.err, "LogLine: " + debug + " 53" + kFull + "LogLine: " + info + " 45" + kFull);
    EXPECT_EQ(bed::pending(), 10);
}

TEST_F(SetUp, MissingDirectoryIsReportedAndPostingStillWorks) {
    bed::remove_log_dir();
    Output demo = bed::run({"tembra-demo"});
    EXPECT_EQ(demo.status, 0);
    EXPECT_TRUE(bed::matches(demo.err, "Can not access logfile /var/log/Tembra/tembra-[0-9]{8}\\.log "
                                  ": Permission denied\nLogLine: [^]*"))
        << demo.err;
    EXPECT_EQ(demo.err.find("mq_send"), std::string::npos);
    EXPECT_EQ(bed::pending(), 2);
}

TEST_F(SetUp, RefusesAQueueOwnedByAnotherUser) {
    for (mode_t mode : {0600, 0666}) {
        SCOPED_TRACE(mode);
        bed::reset();
        if (!bed::create_queue_as_stranger(mode)) GTEST_SKIP() << "cannot change uid here";
        Output demo = bed::run({"tembra-demo"});
        EXPECT_EQ(demo.status, 0);
        auto [debug, info] = demo_lines(demo);
        EXPECT_EQ(demo.err, "mq_open(): Permission denied\nLogLine: " + debug + " 53" + kBadQueue +
                                "LogLine: " + info + " 45" + kBadQueue);
        EXPECT_EQ(bed::pending(), 0) << "nothing may reach the stranger's queue";
    }
}

TEST_F(SetUp, ExistingQueueIsOpenedUnchanged) {
    mqd_t q = sandbox_create_queue(3, 100);
    ASSERT_NE(q, (mqd_t)-1);
    mq_close(q);
    bed::post("one", 0);
    bed::post("two", 3);
    Output out = bed::in_child([] {
        Log_Init();
        mq_attr attr{};
        mq_getattr(mqd, &attr);
        return attr.mq_maxmsg == 3 && attr.mq_msgsize == 100 && attr.mq_curmsgs == 2 ? 0 : 1;
    });
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.err, "");
    auto queued = bed::take_all();
    ASSERT_EQ(queued.size(), 2u);
    EXPECT_EQ(queued[0].bytes, "two");
    EXPECT_EQ(queued[1].bytes, "one");
}

TEST_F(SetUp, FileIsNamedForTheLocalDate) {
    bool some_date_differs_from_utc = false;
    for (auto [tz, offset] : {std::pair{"XXX-14", 14 * 3600}, std::pair{"XXX+12", -12 * 3600}}) {
        SCOPED_TRACE(tz);
        bed::reset();
        time_t before = time(nullptr);
        Output run = bed::run({"tembra-demo"}, {std::string("TZ=") + tz});
        time_t after = time(nullptr);
        std::string name = bed::log_file_name();
        EXPECT_EQ(name.size(), 35u - bed::kDir.size());
        EXPECT_TRUE(name == "tembra-" + bed::utc_text(before + offset, "%Y%m%d") + ".log" ||
                    name == "tembra-" + bed::utc_text(after + offset, "%Y%m%d") + ".log")
            << name;
        some_date_differs_from_utc |= bed::utc_text(before + offset, "%Y%m%d") != bed::utc_text(before, "%Y%m%d");
        EXPECT_EQ(run.status, 0);
    }
    EXPECT_TRUE(some_date_differs_from_utc);
}

TEST_F(SetUp, SecondSetUpClosesTheEarlierHandles) {
    Output out = bed::in_child([] {
        Log_Init();
        int fds = open_fds();
        std::fputs("buffered", logfile);
        for (int k = 0; k < 3; ++k) Log_Init();
        if (open_fds() != fds) return 1;
        _exit(0);  // no normal exit: only the close in Log_Init can have written "buffered"
    });
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(bed::log_contents(), "buffered");
}

TEST_F(Post, PriorityIsTheLevelClampedIntoRange) {
    Output out = bed::in_child([] {
        Log_Init();
        const int levels[] = {0, 1, 2, 3, 4, 9, -3};
        for (int level : levels) Log_Send(level, LogProgram, "level %d", level);
        return 0;
    });
    auto queued = bed::take_all();
    ASSERT_EQ(queued.size(), 7u);
    const struct {
        unsigned priority;
        const char *head;
    } want[] = {{4, "[ALERT] "}, {4, "[9] "}, {3, "[ERROR] "}, {2, "[WARN] "},
                {1, "[DEBUG] "}, {0, "[INFO] "}, {0, "[-3] "}};
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(queued[i].priority, want[i].priority) << i;
        EXPECT_EQ(queued[i].bytes.rfind(want[i].head, 0), 0u) << queued[i].bytes;
    }
}

TEST_F(Post, LineBufferReadsEmptyAfterEachRecord) {
    Output out = bed::in_child([] {
        Log_Init();
        Log_Send(LogDebug, LogServer, "yes i succeed!");
        Log_Send(LogWarn, LogServer, "%s", std::string(5000, 'w').c_str());
        for (char byte : LogLine)
            if (byte != 0) return 1;
        return 0;
    });
    EXPECT_EQ(out.status, 0);
}

TEST_F(Post, LineLongerThanTheQueueAllowsIsReported) {
    mqd_t q = sandbox_create_queue(10, 64);
    ASSERT_NE(q, (mqd_t)-1);
    mq_close(q);
    Output out = bed::in_child([] {
        Log_Init();
        Log_Send(LogInfo, LogProgram, "%s", std::string(100, 'l').c_str());
        Log_Send(LogInfo, LogProgram, "short");
        return 0;
    });
    EXPECT_NE(out.err.find(" 139Message too long :mq_send()[Log_Send]\nLogLine: "), std::string::npos)
        << out.err;
    auto queued = bed::take_all();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_NE(queued[0].bytes.find(" short "), std::string::npos);
}

TEST_F(Post, HeaderWorksFromC) {
    Output out = bed::in_child([] {
        Log_Init();
        c_caller_posts();
        return 0;
    });
    EXPECT_TRUE(bed::matches(out.out, bed::line_pattern("WARN", "SERVER", "from C 1") + "\n")) << out.out;
}

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

}  // namespace
