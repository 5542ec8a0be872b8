// Set-up on the private queue and log directory: the queue opened, created or
// refused, the day's file named for the local date, a second set-up.
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

const std::string kBadQueue = "Bad file descriptor :mq_send()[Log_Send]\n";

using bed::Output;

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

class SetUp : public bed::Test {};

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

}  // namespace
