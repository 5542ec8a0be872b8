// Posting from real programs: lost posts and the loss record that reports
// them, before the next record or at exit; the header next to <syslog.h>.
#include <mqueue.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <thread>

#include "logger/logger.h"
#include "sandbox.h"
#include "testbed.h"

extern "C" int syslog_c_0(void), syslog_c_1(void), syslog_cpp_0(void), syslog_cpp_1(void);

namespace {

using bed::Output;

const std::string kFull = "Resource temporarily unavailable :mq_send()[Log_Send]\n";

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

}  // namespace
