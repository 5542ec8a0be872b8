// Set-up on the private queue and log directory: the queue opened, created or
// refused, the day's file named for the local date, a second set-up.
#include <dirent.h>
#include <grp.h>
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

// Whose queue a process posts to: its own user's or root's, as far as the
// mode lets it; a queue it may post to but not read is opened for posting
// only, and a drain there says once that it cannot read.
TEST_F(SetUp, WhoMayPostToWhichQueue) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to post as other users";
    const unsigned kNobody = 65534, kAlice = 4242, kBob = 4243, kGroup = 4200;
    const struct {
        const char *name;
        unsigned owner, group;
        mode_t mode;
        unsigned poster;  // with kGroup among its groups when in_group
        bool in_group, post_only;
        bool posted, refused, file_report, unreadable;
    } rows[] = {
        {"stranger's 0600", kNobody, kNobody, 0600, 0, false, false, false, true, false, false},
        {"stranger's 0666", kNobody, kNobody, 0666, 0, false, false, false, true, false, false},
        {"stranger's open to all", kNobody, kNobody, 0622, kAlice, false, true, false, true, false, false},
        {"root's open to all", 0, 0, 0622, kAlice, false, false, true, false, true, true},
        {"root's open to all, post-only", 0, 0, 0622, kAlice, false, true, true, false, false, true},
        {"root's open to the group, a member", 0, kGroup, 0620, kAlice, true, true, true, false, false, true},
        {"root's open to the group, not a member", 0, kGroup, 0620, kBob, false, true, false, true, false, false},
        {"root's own", 0, 0, 0600, kAlice, false, true, false, true, false, false},
        {"root's readable by all", 0, 0, 0666, kAlice, false, true, true, false, false, false},
        {"the poster's own", kAlice, kAlice, 0600, kAlice, false, true, true, false, false, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        bed::reset();
        ASSERT_TRUE(bed::make_queue(row.owner, row.group, row.mode));
        Output out = bed::in_child([&] {
            gid_t groups[] = {kGroup};
            if (setgroups(row.in_group ? 1 : 0, groups) != 0 || setgid(row.poster) != 0 || setuid(row.poster) != 0)
                return 99;
            Log_SetPostOnly(row.post_only);
            Log_Init();
            Log_Send(LogDebug, LogServer, "yes i succeed!");
            long first = Log_Drain(), second = Log_Drain();
            return row.unreadable && (first != -1 || second != -1) ? 98 : 0;
        });
        EXPECT_EQ(out.status, 0) << out.err;
        EXPECT_EQ(bed::pending(), row.posted ? 1 : 0) << out.err;
        EXPECT_EQ(out.err.starts_with("mq_open(): Permission denied\n"), row.refused) << out.err;
        EXPECT_EQ(bed::count_of(out.err, kBadQueue), row.refused ? 1u : 0u) << out.err;
        EXPECT_EQ(bed::count_of(out.err, "Can not access logfile"), row.file_report ? 1u : 0u) << out.err;
        EXPECT_EQ(bed::count_of(out.err, "Log_Write: the queue /mqd cannot be read: it lets this user post only\n"),
                  row.unreadable ? 1u : 0u)
            << out.err;
        if (row.post_only) {
            EXPECT_EQ(bed::log_file_name(), "") << "a poster opened the day's file";
        }
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
