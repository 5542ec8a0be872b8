// Posting a record: its priority, the line buffer, lost posts and the loss
// record, the header next to <syslog.h>, threads and fork.
#include <dirent.h>
#include <fcntl.h>
#include <mqueue.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
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
#include "shared_data.h"
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

double seconds_now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

// Every "<tag><n>" for n below count is in the day's file.
bool all_in_file(const char *tag, int count) {
    std::string text = bed::log_contents();
    for (int n = 0; n < count; ++n)
        if (text.find(std::string(" ") + tag + std::to_string(n) + " (") == std::string::npos) return false;
    return true;
}

TEST_F(Post, WaitingPostGetsRoomInTimeOrCountsAsLost) {
    enum Room { kNone, kStoppedDrain, kOwnThread };
    const struct {
        const char *name;
        long wait_ms;
        Room room;        // who makes room, after room_ms
        int room_ms;
        bool forked;      // the setting is made before a fork, the child posts
        int lost;         // of 14 records into a queue of 10
        double at_least, at_most;  // seconds the 14 posts take (room_ms counts from before the fork)
    } rows[] = {
        {"room in time", 5000, kStoppedDrain, 300, false, 0, 0.1, 4.0},
        {"times out", 150, kNone, 0, false, 4, 0.55, 3.0},
        {"never waits", 0, kNone, 0, false, 4, 0, 0.5},
        {"no limit, stopped drain", -1, kStoppedDrain, 1500, false, 0, 1.0, 8.0},
        {"no limit, forked", -1, kStoppedDrain, 400, true, 0, 0.1, 6.0},
        {"another thread drains", -1, kOwnThread, 200, false, 0, 0.15, 4.0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        bed::reset();
        mqd_t q = sandbox_create_queue(10, 256);
        ASSERT_NE(q, (mqd_t)-1);
        mq_close(q);
        bed::Background drain;
        if (row.room == kStoppedDrain) {
            drain = bed::start({"tembra-drain", "--follow"});
            ASSERT_TRUE(bed::wait_for([] { return !bed::log_file_name().empty(); }, 2000));
            kill(drain.pid, SIGSTOP);
        }
        // A process, not a thread, resumes the drain: a fork while another
        // thread runs may leave the child a lock it can never take.
        pid_t resumer = row.room == kStoppedDrain ? fork() : -1;
        if (resumer == 0) {
            usleep(row.room_ms * 1000);
            kill(drain.pid, SIGCONT);
            _exit(0);
        }
        Output out = bed::in_child([&] {
            Log_SetWait(row.wait_ms);
            Log_SetEcho(0);
            Log_Init();
            if (row.forked && fork() != 0) {
                int status = 0;
                wait(&status);
                return WEXITSTATUS(status);
            }
            std::thread drainer([&] {
                if (row.room != kOwnThread) return;
                usleep(row.room_ms * 1000);
                while (Log_Drain() <= 0) usleep(1000);
            });
            double t0 = seconds_now();
            for (int r = 0; r < 14; ++r) Log_Send(LogWarn, LogServer, "w%d", r);
            double took = seconds_now() - t0;
            drainer.join();
            if (took < row.at_least || took > row.at_most) return 100;
            return (int)Log_Lost();
        });
        if (resumer > 0) waitpid(resumer, nullptr, 0);
        EXPECT_EQ(out.status, row.lost) << "100: the posts took too short or too long\n" << out.err;
        EXPECT_EQ(bed::count_of(out.err, " :mq_send()[Log_Send]\n"), size_t(row.lost));
        EXPECT_EQ(bed::count_of(out.err, "LogLine: "), 14u) << "every record traced, waiting or not";
        if (row.room == kOwnThread) bed::in_child([] { return Log_Init(), (int)Log_Drain(); });
        if (row.room != kNone) {
            EXPECT_TRUE(bed::wait_for([] { return all_in_file("w", 14); }, 3000));
        }
        if (drain.pid > 0) bed::finish(drain, SIGTERM);
    }
}

TEST_F(Post, EchoAndTraceTurnOffAndStayOffInAForkedChild) {
    const struct {
        int echo, trace;
        bool forked, full;  // posted by a forked child; into a full queue
    } rows[] = {{1, 1, false, false}, {0, 1, false, false}, {1, 0, false, false},
                {0, 0, false, false}, {0, 0, true, false},  {0, 0, false, true}};
    for (const auto &row : rows) {
        SCOPED_TRACE(::testing::Message() << "echo " << row.echo << " trace " << row.trace
                                          << (row.forked ? " forked" : "") << (row.full ? " full" : ""));
        bed::reset();
        mqd_t q = sandbox_create_queue(3, 256);
        ASSERT_NE(q, (mqd_t)-1);
        for (int k = 0; row.full && k < 3; ++k) mq_send(q, "fill", 4, 0);
        mq_close(q);
        Output out = bed::in_child([&] {
            Log_Init();
            Log_SetEcho(row.echo);
            Log_SetTrace(row.trace);
            if (row.forked && fork() != 0) return wait(nullptr) > 0 ? 0 : 1;
            Log_Send(LogDebug, LogServer, "yes i succeed!");
            return 0;
        });
        std::string line = bed::line_pattern("DEBUG", "SERVER", "yes i succeed!");
        EXPECT_TRUE(bed::matches(out.out, row.echo ? line + "\n" : "")) << out.out;
        std::string err = row.trace ? "LogLine: " + line + " 53" : "";
        if (row.full) err += "Resource temporarily unavailable :mq_send\\(\\)\\[Log_Send\\]\n";
        EXPECT_TRUE(bed::matches(out.err, err)) << out.err;
        EXPECT_EQ(bed::take_all().size(), row.full ? 3u : 1u);
    }
}

TEST_F(Post, ProducerFollowsAReplacedQueue) {
    const struct {
        const char *name;
        int every_ms, records;
    } rows[] = {{"frequent", 10, 500}, {"rare", 2500, 3}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        bed::reset();
        bed::Background drain = bed::start({"tembra-drain", "--follow"});
        ASSERT_TRUE(bed::wait_for([] { return !bed::log_file_name().empty(); }, 2000));
        pid_t replace = fork();  // a process: see the resumer above
        if (replace == 0) {
            usleep(700 * 1000);
            mq_unlink("/mqd");
            _exit(0);
        }
        Output out = bed::in_child([&] {
            Log_SetEcho(0);
            Log_SetTrace(0);
            Log_Init();
            int number = mqd;
            for (int r = 0; r < row.records; ++r) {
                Log_Send(LogWarn, LogServer, "q%d", r);
                usleep(row.every_ms * 1000);
            }
            return mqd == number ? (int)Log_Lost() : 100;
        });
        waitpid(replace, nullptr, 0);
        EXPECT_EQ(out.status, 0) << "lost posts, or 100: mqd changed number\n" << out.err;
        EXPECT_TRUE(bed::wait_for([&] { return all_in_file("q", row.records); }, 5000));
        EXPECT_EQ(bed::finish(drain, SIGTERM).status, 0);
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
    for (const std::string &l : bed::lines_of(bed::log_contents())) {
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
    for (const std::string &l : bed::lines_of(producers.out)) {
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
