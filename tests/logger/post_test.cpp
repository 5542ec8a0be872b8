// Posting a record: its priority, the line buffer, lost posts and the loss
// record, the header next to <syslog.h>, threads and fork.
#include <dirent.h>
#include <fcntl.h>
#include <mqueue.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "logger/compose.h"
#include "logger/logger.h"
#include "sandbox.h"
#include "testbed.h"

extern "C" void c_caller_posts(void);
extern "C" int syslog_c_0(void), syslog_c_1(void), syslog_cpp_0(void), syslog_cpp_1(void);

namespace {

using bed::Output;

// The loss record of the test program's child, its pid in group 1.
std::string loss_pattern(const std::string &what) {
    return bed::line_pattern("WARN", "PROGRAM", "logger_tests\\[([0-9]+)\\]: " + what);
}

// The pid a child printed last on its standard output as "pid <n>".
std::string printed_pid(const Output &out) {
    size_t at = out.out.rfind("pid ");
    return at == std::string::npos ? "?" : out.out.substr(at + 4, out.out.find('\n', at) - at - 4);
}

// Takes one message off "/mqd", making room for one more.
void take_one() {
    mqd_t q = mq_open("/mqd", O_RDONLY | O_NONBLOCK);
    char buf[256];
    mq_receive(q, buf, sizeof buf, nullptr);
    mq_close(q);
}

class Loss : public bed::Test {
  protected:
    void SetUp() override {
        bed::Test::SetUp();
        mqd_t q = sandbox_create_queue(3, 256);
        ASSERT_NE(q, (mqd_t)-1);
        mq_close(q);
    }
};

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start + 1));
    return lines;
}

class Post : public bed::Test {};
class Threads : public bed::Test {};

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

TEST_F(Loss, RecordPrecedesTheNextPostedRecordOnce) {
    const struct {
        int full, too_long;  // posts lost to a full queue, then to a too long line
        const char *report;
    } rows[] = {
        {1, 0, "1 record lost: Resource temporarily unavailable"},
        {3, 0, "3 records lost: Resource temporarily unavailable"},
        {2, 1, "3 records lost: Message too long"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.report);
        bed::take_all();
        Output out = bed::in_child([&] {
            Log_Init();
            for (int k = 0; k < 3; ++k) Log_Send(LogWarn, LogServer, "fill %d", k);
            for (int k = 0; k < row.full; ++k) Log_Send(LogWarn, LogServer, "dropped %d", k);
            for (int k = 0; k < row.too_long; ++k) Log_Send(LogWarn, LogServer, "%s", std::string(300, 'l').c_str());
            for (int k = 0; k < 3; ++k) take_one();
            Log_Send(LogWarn, LogServer, "after");
            Log_Send(LogWarn, LogServer, "again");
            std::printf("pid %d\n", (int)getpid());
            return (int)Log_Lost();
        });
        EXPECT_EQ(out.status, row.full + row.too_long) << "Log_Lost";
        EXPECT_EQ(bed::count_of(out.err, ":mq_send()[Log_Send]\n"), size_t(row.full + row.too_long)) << out.err;
        EXPECT_EQ(out.out.find(" lost: "), std::string::npos) << "the loss record is not echoed";
        EXPECT_EQ(out.err.find(" lost: "), std::string::npos) << "the loss record is not traced";
        auto queued = bed::take_all();
        ASSERT_EQ(queued.size(), 3u);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(queued[0].bytes, m, std::regex(loss_pattern(row.report)))) << queued[0].bytes;
        EXPECT_EQ(m[1].str(), printed_pid(out));
        EXPECT_EQ(queued[0].priority, 2u);
        EXPECT_TRUE(bed::matches(queued[1].bytes, bed::line_pattern("WARN", "SERVER", "after")));
        EXPECT_TRUE(bed::matches(queued[2].bytes, bed::line_pattern("WARN", "SERVER", "again")));
    }
}

TEST_F(Loss, UnreportedCountIsPostedAtExitWhenRoomComesInTime) {
    const struct {
        int losses;
        int room_after_ms;  // -1: the queue stays full
        bool forked;        // the losses are the parent's, and its forked child exits
        bool reported;
    } rows[] = {
        {2, 0, false, true},
        {2, 30, false, true},
        {2, -1, false, false},
        {0, 0, false, false},
        {2, 0, true, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(::testing::Message() << row.losses << " lost, room after " << row.room_after_ms
                                          << (row.forked ? " ms, forked" : " ms"));
        bed::take_all();
        Output out = bed::in_child([&] {
            Log_Init();
            for (int k = 0; k < 3; ++k) Log_Send(LogInfo, LogServer, "fill %d", k);
            for (int k = 0; k < row.losses; ++k) Log_Send(LogInfo, LogServer, "dropped %d", k);
            if (row.forked && fork() != 0) _exit(0);
            if (row.room_after_ms >= 0)
                std::thread([ms = row.room_after_ms] {
                    usleep(ms * 1000);
                    take_one();
                }).detach();
            std::printf("pid %d\n", (int)getpid());
            std::exit(0);
            return 0;
        });
        EXPECT_EQ(out.status, 0);
        EXPECT_EQ(out.err.find(" lost: "), std::string::npos);
        // The loss record is WARN, so it comes off before the INFO fills.
        auto queued = bed::take_all();
        ASSERT_FALSE(queued.empty());
        std::smatch m;
        bool found = std::regex_match(queued[0].bytes, m, std::regex(loss_pattern("2 records lost: Resource temporarily unavailable")));
        EXPECT_EQ(found, row.reported) << queued[0].bytes;
        if (found) {
            EXPECT_EQ(m[1].str(), printed_pid(out));
        }
    }
}

TEST(Header, LogsTheLevelItNamesNextToSyslog) {
    const struct {
        int (*poster)(void);
        const char *name;
    } rows[] = {{syslog_c_0, "syslog_c_0"}, {syslog_c_1, "syslog_c_1"},
                {syslog_cpp_0, "syslog_cpp_0"}, {syslog_cpp_1, "syslog_cpp_1"}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        bed::reset();
        Output out = bed::in_child([&] {
            Log_Init();
            return row.poster();
        });
        EXPECT_EQ(out.status, 1) << "syslog's LOG_ALERT";
        EXPECT_TRUE(bed::matches(out.out, bed::line_pattern("ALERT", "SERVER", row.name) + "\n" +
                                              bed::line_pattern("INFO", "PROGRAM", row.name) + "\n"))
            << out.out;
    }
    bed::unlink_queue();
}

TEST_F(Threads, EveryRecordIsWrittenWholeOrReportedLost) {
    constexpr int kThreads = 8, kRecords = 2000;
    bed::Background drain = bed::start({"tembra-drain", "--follow"});
    ASSERT_TRUE(bed::wait_for([] { return !bed::log_file_name().empty(); }, 2000));
    Output producers = bed::in_child([] {
        Log_Init();
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([t] {
                for (int r = 0; r < kRecords; ++r) Log_Send(LogWarn, LogServer, "t%d r%d", t, r);
            });
        for (auto &thread : threads) thread.join();
        return 0;
    });
    EXPECT_EQ(bed::finish(drain, SIGTERM).status, 0);

    const std::regex line(bed::line_pattern("WARN", "SERVER", "t([0-9]) r([0-9]+)"));
    const std::regex loss(bed::line_pattern("WARN", "PROGRAM", "logger_tests\\[[0-9]+\\]: ([0-9]+) records? lost: .*"));
    std::set<std::string> seen;
    size_t reported = 0;
    for (const std::string &l : split_lines(bed::log_contents())) {
        std::smatch m;
        if (std::regex_match(l, m, loss)) {
            reported += std::stoul(m[1].str());
            continue;
        }
        ASSERT_TRUE(std::regex_match(l, m, line)) << "torn line: " << l;
        EXPECT_TRUE(seen.insert(m[1].str() + "/" + m[2].str()).second) << "duplicate: " << l;
    }
    size_t lost = bed::count_of(producers.err, " :mq_send()[Log_Send]\n");
    EXPECT_EQ(seen.size() + lost, size_t(kThreads * kRecords));
    EXPECT_LE(reported, lost) << "loss records count no more than the failed posts";
    EXPECT_GT(seen.size(), 0u);
    EXPECT_EQ(bed::count_of(producers.err, "LogLine: "), size_t(kThreads * kRecords));
    // Every echo is whole: a line and then an empty line.
    size_t echoes = 0;
    for (const std::string &l : split_lines(producers.out)) {
        if (l == "\n") continue;
        ++echoes;
        ASSERT_TRUE(std::regex_match(l, line)) << "torn echo: " << l;
    }
    EXPECT_EQ(echoes, size_t(kThreads * kRecords));
}

TEST_F(Threads, ForkedChildCanLogWhileAnotherThreadLogs) {
    if (!bed::can_raise_mqueue_limit()) GTEST_SKIP() << bed::kNoMqueueSysctl;
    mqd_t q = sandbox_create_queue(1000, 256);
    ASSERT_NE(q, (mqd_t)-1) << "cannot make a 1000-message queue here";
    mq_close(q);
    constexpr int kChildren = 20, kRecords = 400;
    Output out = bed::in_child([] {
        Log_Init();
        std::thread busy([] {
            for (int r = 0; r < kRecords; ++r) Log_Send(LogInfo, LogProgram, "busy %d", r);
        });
        int stuck = 0;
        for (int k = 0; k < kChildren; ++k) {
            pid_t pid = fork();
            if (pid == 0) {
                alarm(5);  // a child that inherited a held lock would hang here
                Log_Send(LogAlert, LogServer, "child %d", k);
                _exit(0);
            }
            int status = 0;
            waitpid(pid, &status, 0);
            stuck += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        busy.join();
        return stuck;
    });
    EXPECT_EQ(out.status, 0) << "children that could not log";
    auto queued = bed::take_all();
    ASSERT_EQ(queued.size(), size_t(kChildren + kRecords));
    for (int k = 0; k < kChildren; ++k)
        EXPECT_TRUE(bed::matches(queued[k].bytes, bed::line_pattern("ALERT", "SERVER", "child [0-9]+")));
}

}  // namespace
