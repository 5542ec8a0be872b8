// tembra-drain once and with --follow: its options, following its path, the
// queue and midnight, faults, readiness and the day's file opened safely.
#include <fcntl.h>
#include <grp.h>
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
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "logger/logger.h"
#include "sandbox.h"
#include "shared_data.h"
#include "testbed.h"

namespace {

using bed::Output;

void set_msg_max(long value) {
    std::FILE *f = std::fopen("/proc/sys/fs/mqueue/msg_max", "w");
    ASSERT_NE(f, nullptr);
    std::fprintf(f, "%ld", value);
    std::fclose(f);
}

// Posts to "/mqd", creating it with the default attributes; false on failure.
bool post_quietly(const std::string &bytes, unsigned int priority) {
    mqd_t q = mq_open("/mqd", O_WRONLY | O_CREAT | O_NONBLOCK, 0600, nullptr);
    bool sent = q != (mqd_t)-1 && mq_send(q, bytes.data(), bytes.size(), priority) == 0;
    if (q != (mqd_t)-1) mq_close(q);
    return sent;
}

class DrainFaults : public bed::Test {};

// Receives one datagram within two seconds, "" when none came.
std::string receive(int fd) {
    timeval limit = {2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    char buf[256];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, (size_t)n) : "";
}

class DrainTool : public bed::Test {};

TEST_F(DrainFaults, FollowsItsPathAndSurvivesSighup) {
    const struct {
        const char *name;
        const char *action;  // shell commands on the day's file $f, or "HUP"
        bool old_kept;       // the line before stays in the file now at $f.1
    } rows[] = {
        {"rm", "rm $f", false},
        {"mv", "mv $f $f.1", true},
        {"replace", "echo other > $f.new && mv $f.new $f", false},
        {"mv then SIGHUP", "mv $f $f.1 && HUP", true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        bed::reset();
        const std::string f = bed::day_path();
        bed::RunningDrain follower;
        bed::run({"tembra-log", "before"});
        ASSERT_TRUE(bed::wait_for([&] { return bed::read_file(f).find(" before ") != std::string::npos; }, 2000));
        std::string action = row.action;
        if (action.ends_with("HUP")) action.replace(action.size() - 3, 3, "kill -HUP " + std::to_string(follower.drain.pid));
        ASSERT_EQ(bed::run({"/bin/sh", "-c", "f=" + f + "; " + action}).status, 0);
        usleep(100000);
        bed::run({"tembra-log", "after"});
        EXPECT_TRUE(bed::wait_for([&] { return bed::read_file(f).find(" after ") != std::string::npos; }, 1000))
            << "the line posted after the change is not at the path";
        EXPECT_EQ(bed::read_file(f).find(" before "), std::string::npos);
        if (row.old_kept) {
            EXPECT_NE(bed::read_file(f + ".1").find(" before "), std::string::npos);
        }
        EXPECT_EQ(follower.stop(SIGTERM).status, 0);
    }
}

TEST_F(DrainFaults, FollowsAQueueRemovedAndCreatedAgain) {
    bed::RunningDrain follower;
    const std::string f = bed::day_path();
    // The file is opened after the queue: then the drain holds the old queue.
    ASSERT_TRUE(bed::wait_for([&] { return !bed::log_file_name().empty() && bed::pending() == 0; }, 2000));
    // Nothing may end the test while the drain is stopped: a stopped orphan
    // would keep its namespace and queues alive.
    kill(follower.drain.pid, SIGSTOP);
    bool posted = post_quietly("left in the old queue\n", 1);
    bed::unlink_queue();
    posted = post_quietly("first in the new queue\n", 2) && posted;
    kill(follower.drain.pid, SIGCONT);
    ASSERT_TRUE(posted) << "cannot post here (queue memory used up?)";
    EXPECT_TRUE(bed::wait_for(
        [&] {
            std::string text = bed::read_file(f);
            return text.find("left in the old") != std::string::npos && text.find("first in the new") != std::string::npos;
        },
        2000))
        << bed::read_file(f);
    bed::run({"tembra-log", "second in the new queue"});
    EXPECT_TRUE(bed::wait_for([&] { return bed::read_file(f).find("second in the new") != std::string::npos; }, 2000));
    EXPECT_EQ(follower.stop(SIGINT).status, 0);
}

TEST_F(DrainFaults, AKillMidDrainLosesAtMostOneBatch) {
    if (!bed::can_raise_mqueue_limit()) GTEST_SKIP() << bed::kNoMqueueSysctl;
    constexpr int kLines = 60;
    for (int when : {1, 2, 3}) {
        SCOPED_TRACE(when);
        bed::reset();
        bed::post_numbered(kLines);
        Output out = bed::run({"/usr/bin/strace", "-o", "/dev/null", "-e", "trace=write", "-e",
                               "inject=write:signal=KILL:when=" + std::to_string(when), bed::bin("tembra-drain")});
        ASSERT_EQ(out.status, 128 + SIGKILL) << out.err;
        size_t written = bed::checked_lines(bed::log_contents()).size();
        long lost = kLines - (long)written - bed::pending();
        EXPECT_EQ(written, size_t(16 * (when - 1)));
        EXPECT_GT(lost, 0);
        EXPECT_LE(lost, 16);
    }
    // A kill inside a write can leave the file ending inside a line: the next
    // drain ends that line first, so its own lines start whole.
    bed::reset();
    const std::string fragment = "[L1] numbered li";
    std::ofstream(bed::day_path(), std::ios::binary) << fragment;
    bed::post_numbered(3);
    EXPECT_EQ(bed::run({"tembra-drain"}).status, 0);
    std::string text = bed::log_contents();
    ASSERT_EQ(text.substr(0, fragment.size() + 1), fragment + "\n");
    EXPECT_EQ(bed::checked_lines(text.substr(fragment.size() + 1)).size(), 3u);
}

TEST_F(DrainFaults, CreatesTheQueueAsDeepAsAllowed) {
    if (!bed::can_raise_mqueue_limit()) GTEST_SKIP() << bed::kNoMqueueSysctl;
    rlimit saved{};
    getrlimit(RLIMIT_MSGQUEUE, &saved);
    const struct {
        const char *name;
        long msg_max;        // raised in this namespace; 0 leaves it at 10
        long existing;       // a queue of this depth exists already; 0 for none
        bool soft_limit_0;   // the soft RLIMIT_MSGQUEUE lowered to 0, the hard one kept
        const char *depth;
        long got;
        const char *said;    // on stderr, "" for nothing
    } rows[] = {
        {"capped by msg_max", 0, 0, false, "24", 10, "created /mqd 10 lines deep, not 24: fs.mqueue.msg_max is 10\n"},
        {"msg_max raised", 32, 0, false, "24", 24, ""},
        {"soft limit raised", 0, 0, true, "8", 8, ""},
        {"existing queue", 32, 3, false, "24", 3, ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        bed::reset();
        set_msg_max(row.msg_max ? row.msg_max : 10);
        if (row.existing) mq_close(sandbox_create_queue(row.existing, 8192));
        if (row.soft_limit_0) {
            rlimit low = {0, saved.rlim_max};
            ASSERT_EQ(setrlimit(RLIMIT_MSGQUEUE, &low), 0);
        }
        Output out = bed::run({"tembra-drain", "--depth", row.depth});
        setrlimit(RLIMIT_MSGQUEUE, &saved);
        EXPECT_EQ(out.status, 0) << out.err;
        EXPECT_NE(out.out.find("mq_msgsize: 8192\n"), std::string::npos) << out.out;
        EXPECT_NE(out.out.find("mq_maxmsg: " + std::to_string(row.got) + "\n"), std::string::npos) << out.out;
        EXPECT_EQ(out.err, *row.said ? std::string("tembra-drain: ") + row.said : "") << out.err;
        bed::unlink_queue();
    }
    set_msg_max(10);
}

TEST_F(DrainFaults, BadOptionsExitTwoWithOneLine) {
    const std::vector<std::vector<std::string>> rows = {
        {"--bogus"}, {"-x"}, {"--depth"}, {"--depth", "0"}, {"--depth", "12x"}, {"--depth", "70000"}, {"extra"},
        {"--posters"}, {"--posters=some"}, {"--posters=group:no-such-group"},
    };
    for (const auto &args : rows) {
        std::vector<std::string> argv = {"tembra-drain"};
        argv.insert(argv.end(), args.begin(), args.end());
        SCOPED_TRACE(args[0]);
        Output out = bed::run(argv);
        EXPECT_EQ(out.status, 2);
        EXPECT_EQ(bed::count_of(out.err, "\n"), 1u) << out.err;
        EXPECT_EQ(out.err.rfind("tembra-drain: ", 0), 0u) << out.err;
        EXPECT_EQ(bed::pending(), -1) << "nothing is opened on a bad option";
    }
    EXPECT_EQ(bed::run({"tembra-drain", "-V"}).out, "tembra-drain 1.0.0\n");
}

TEST_F(DrainFaults, TellsTheServiceManagerWhenReadyAndWhenReloading) {
    for (std::string name : {std::string("/var/log/notify"), std::string("@tembra-drain-test-notify")}) {
        SCOPED_TRACE(name);
        int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        memcpy(address.sun_path, name.data(), name.size());
        if (name[0] == '@') address.sun_path[0] = '\0';
        ASSERT_EQ(bind(fd, (sockaddr *)&address, (socklen_t)(offsetof(sockaddr_un, sun_path) + name.size())), 0);
        bed::RunningDrain follower({"NOTIFY_SOCKET=" + name});
        EXPECT_EQ(receive(fd), "READY=1");
        EXPECT_TRUE(!bed::log_file_name().empty()) << "ready before the file is open";
        kill(follower.drain.pid, SIGHUP);
        std::string reloading = receive(fd);
        EXPECT_TRUE(bed::matches(reloading, "RELOADING=1\nMONOTONIC_USEC=[0-9]+")) << reloading;
        EXPECT_EQ(receive(fd), "READY=1");
        EXPECT_EQ(follower.stop(SIGTERM).status, 0);
        close(fd);
        unlink(name.c_str());
    }
}

TEST_F(DrainFaults, OpensTheDayFileSafely) {
    const std::string target = "/var/log/target";  // on the test bed's private tmpfs
    const struct {
        const char *name;
        const char *plant;  // shell commands on the day's file $f before set-up
    } refused[] = {
        {"symlink", "touch /var/log/target && chmod 600 /var/log/target && ln -s /var/log/target $f"},
        {"fifo", "mkfifo $f"},
    };
    for (const auto &row : refused) {
        SCOPED_TRACE(row.name);
        bed::reset();
        unlink(target.c_str());
        ASSERT_EQ(bed::run({"/bin/sh", "-c", "f=" + bed::day_path() + "; " + row.plant}).status, 0);
        bed::post("must not reach the target\n", 1);
        Output out = bed::run({"tembra-drain"});
        EXPECT_EQ(out.status, 1);
        EXPECT_EQ(out.err, "Can not access logfile " + bed::day_path() + " : Permission denied\n");
        EXPECT_EQ(bed::read_file(target), "");
        EXPECT_EQ(bed::pending(), 1);
    }

    bed::reset();
    Output out = bed::in_child([] {
        Log_Init();
        execl("/bin/ls", "ls", "-l", "/proc/self/fd/", (char *)nullptr);
        return 127;
    });
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.out.find("tembra-"), std::string::npos) << "the log file leaked into exec: " << out.out;
}

// A day file the drain creates is 0640 whatever the umask, and takes the group
// of a set-group-ID directory, so that group reads the logs.
TEST_F(DrainFaults, DayFilesAreReadByTheDirectorysGroup) {
    const struct {
        const char *umask;
        gid_t dir_group;  // the directory made 2750 with this group; 0 leaves it 0755 root's
    } rows[] = {{"000", 0}, {"077", 0}, {"022", 4}, {"077", 4}};
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.umask) + " " + std::to_string(row.dir_group));
        bed::reset();
        if (row.dir_group != 0 && (chown(bed::kDir.c_str(), 0, row.dir_group) != 0 || chmod(bed::kDir.c_str(), 02750) != 0))
            GTEST_SKIP() << "cannot give the directory a group here";
        bed::post("a line\n", 1);
        Output out = bed::run({"/bin/sh", "-c", std::string("umask ") + row.umask + "; exec " + bed::bin("tembra-drain")});
        EXPECT_EQ(out.status, 0) << out.err;
        struct stat st;
        ASSERT_EQ(stat(bed::day_path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        EXPECT_EQ(st.st_gid, row.dir_group);
        EXPECT_EQ(bed::log_contents(), "a line\n");
    }
}

TEST_F(DrainFaults, AFailureThatLastsIsReportedOnce) {
    Output out = bed::in_child([] {
        Log_Init();
        mq_close(mqd);
        mqd = (mqd_t)-1;
        for (int k = 0; k < 3; ++k)
            if (Log_Drain() != -1) return 1;
        return 0;
    });
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.err, "Bad file descriptor :mq_receive()[Log_Write]\n");
}

// True once the process has ended (a zombie until collected).
bool exited(pid_t pid) {
    std::string stat = bed::read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t end = stat.rfind(')');
    return end == std::string::npos || stat.compare(end, 4, ") Z ") == 0;
}

// The mode and group of "/mqd", read through the queue file system; "" when there is none.
std::string queue_mode() {
    const std::string mount = "/var/log/mq";
    mkdir(mount.c_str(), 0755);
    if (::mount("mqueue", mount.c_str(), "mqueue", 0, nullptr) != 0) return "cannot mount";
    struct stat st;
    char text[32] = "";
    if (stat((mount + "/mqd").c_str(), &st) == 0)
        std::snprintf(text, sizeof text, "%04o %u:%u", st.st_mode & 07777, st.st_uid, st.st_gid);
    umount(mount.c_str());
    return text;
}

TEST_F(DrainTool, PostersChooseTheQueuesModeWhateverTheUmask) {
    if (geteuid() != 0 || getgrnam("adm") == nullptr) GTEST_SKIP() << "needs root and group adm";
    const struct {
        const char *posters;  // "" for none
        const char *umask;
        mode_t existing;      // a queue of ours with this mode exists; 0 for none
        const char *mode;
    } rows[] = {
        {"", "000", 0, "0600 0:0"},
        {"--posters=owner", "000", 0, "0600 0:0"},
        {"--posters=all", "077", 0, "0622 0:0"},
        {"--posters=group", "077", 0, "0620 0:0"},
        {"--posters=group:adm", "022", 0, "0620 0:4"},
        {"", "022", 0644, "0644 0:0"},
        {"--posters=all", "022", 0600, "0622 0:0"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.posters) + " " + row.umask);
        bed::reset();
        if (row.existing) {
            ASSERT_TRUE(bed::make_queue(0, 0, row.existing));
        }
        Output out = bed::run({"/bin/sh", "-c", std::string("umask ") + row.umask + "; exec " +
                                                    bed::bin("tembra-drain") + " --depth 4 " + row.posters});
        EXPECT_EQ(out.status, 0) << out.err;
        EXPECT_EQ(queue_mode(), row.mode);
    }
}

// A following drain finds "/mqd" made by another user: it takes the lines into
// a queue of its own, or says in one line why it may not and what to do.
TEST_F(DrainTool, AFollowingDrainTakesOverAnotherUsersQueue) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    const std::string setpriv = "/usr/bin/setpriv";
    mkdir("/var/log/mq", 0755);
    const struct {
        const char *name;
        std::vector<std::string> argv;
        bool taken;
        const char *says;
        bool while_following = false;  // the queue is replaced after the drain started
    } rows[] = {
        {"service", {"tembra-drain", "--follow", "--depth", "4"}, true,
         "tembra-drain: /mqd was made by nobody (uid 65534): took its 2 lines and made it anew as root's\n"},
        {"replaced while following", {"tembra-drain", "--follow", "--depth", "4"}, true,
         "tembra-drain: /mqd was made by nobody (uid 65534): took its 2 lines and made it anew as root's\n", true},
        {"without CAP_DAC_READ_SEARCH",
         {setpriv, "--inh-caps=-dac_override,-dac_read_search", "--bounding-set=-dac_override,-dac_read_search",
          bed::bin("tembra-drain"), "--follow", "--depth", "4"},
         false,
         "tembra-drain: cannot take over /mqd from nobody (uid 65534): Permission denied; run the drain as root "
         "with CAP_DAC_READ_SEARCH (as tembra-drain.service does), or drain it as nobody (sudo -u nobody "
         "tembra-drain) and remove it (sudo rm /var/log/mq/mqd)\n"},
        {"once", {"tembra-drain"}, false, "mq_open(): Permission denied\ntembra-drain: the queue /mqd belongs to nobody"},
    };
    // nobody's queue with two lines: made, filled, then given away.
    auto plant = [] {
        bool made = bed::make_queue(0, 0, 0600);
        bed::post("first\n", 1);
        bed::post("second\n", 3);
        return made && bed::make_queue(65534, 65534, 0600);
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        bed::reset();
        if (!row.while_following) {
            ASSERT_TRUE(plant());
        }
        ASSERT_EQ(::mount("mqueue", "/var/log/mq", "mqueue", 0, nullptr), 0) << "as where the system mounts it";
        bed::Background drain = bed::start(row.argv);
        if (row.while_following) {
            EXPECT_TRUE(bed::wait_for([] { return !bed::log_file_name().empty(); }, 2000));
            kill(drain.pid, SIGSTOP);  // so that it cannot make /mqd anew before nobody does
            bed::unlink_queue();
            bool planted = plant();
            kill(drain.pid, SIGCONT);
            EXPECT_TRUE(planted);
        }
        if (row.taken) {
            EXPECT_TRUE(bed::wait_for([] { return bed::log_contents() == "second\nfirst\n"; }, 2000))
                << bed::log_contents();
        } else {
            EXPECT_TRUE(bed::wait_for([&] { return exited(drain.pid); }, 2000)) << "the drain stays";
        }
        umount("/var/log/mq");
        Output out = bed::finish(drain, exited(drain.pid) ? 0 : SIGTERM);
        EXPECT_EQ(out.status, row.taken ? 0 : 1);
        EXPECT_EQ(out.err.rfind(row.says, 0), 0u) << out.err;
        EXPECT_EQ(bed::count_of(out.err, "\n"), row.argv.size() > 1 ? 1u : 2u) << out.err;
        EXPECT_EQ(queue_mode(), row.taken ? "0600 0:0" : "0600 65534:65534");
        EXPECT_EQ(bed::pending(), row.taken ? 0 : 2);
    }
}

TEST_F(DrainTool, OneShotWritesTheFile) {
    Output demo = bed::run({"tembra-demo"});
    Output drain = bed::run({"tembra-drain"});
    EXPECT_EQ(drain.status, 0);
    EXPECT_NE(drain.out.find("mq_curmsg: 2\n"), std::string::npos);
    EXPECT_EQ(bed::log_contents(), demo.out.substr(0, 53) + demo.out.substr(54, 45));
    EXPECT_EQ(bed::pending(), 0);

    bed::run({"tembra-demo"});
    bed::remove_log_dir();
    Output missing = bed::run({"tembra-drain"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("Can not access logfile"), std::string::npos);
    EXPECT_EQ(bed::pending(), 2);
}

TEST_F(DrainTool, Options) {
    EXPECT_EQ(bed::run({"tembra-drain", "--help"}).status, 0);
    EXPECT_EQ(bed::run({"tembra-drain", "--version"}).out, "tembra-drain 1.0.0\n");
    Output bad = bed::run({"tembra-drain", "--bogus"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("usage: tembra-drain"), std::string::npos);
}

TEST_F(DrainTool, FollowWritesArrivingLinesPromptlyAndStopsOnSigterm) {
    bed::Background drain = bed::start({"tembra-drain", "--follow"});
    ASSERT_TRUE(bed::wait_for([] { return !bed::log_file_name().empty(); }, 2000));
    for (int k = 0; k < 3; ++k) {
        bed::run({"tembra-log", "-l", "warn", "line " + std::to_string(k)});
        bool arrived = bed::wait_for(
            [&] { return bed::log_contents().find("line " + std::to_string(k)) != std::string::npos; }, 500);
        EXPECT_TRUE(arrived) << "line " << k << " not in the file within 500 ms";
    }
    // An empty message ends a drain, not the following: the line behind it
    // comes next, and at the stop, so do lines posted behind one.
    ASSERT_TRUE(post_quietly("", 3) && post_quietly("behind an empty one\n", 3));
    EXPECT_TRUE(bed::wait_for([] { return bed::log_contents().find("behind an empty") != std::string::npos; }, 500));
    int stopped;
    kill(drain.pid, SIGSTOP);
    ASSERT_EQ(waitpid(drain.pid, &stopped, WUNTRACED), drain.pid);  // stopped before the posts
    ASSERT_TRUE(post_quietly("before the stop\n", 3) && post_quietly("", 3) && post_quietly("at the stop\n", 3));
    kill(drain.pid, SIGTERM);
    kill(drain.pid, SIGCONT);
    Output out = bed::finish(drain, 0);
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(bed::count_of(out.out, "[mq_attr_info]"), 1u);
    EXPECT_EQ(bed::lines_of(bed::log_contents()).size(), 6u) << bed::log_contents();
    EXPECT_EQ(bed::pending(), 0);
}

TEST_F(DrainTool, FollowRollsOverAtLocalMidnight) {
    // A zone whose local midnight is three seconds away.
    time_t now = time(nullptr);
    long offset = ((86400 - 3 - now % 86400) % 86400 + 86400) % 86400;
    if (offset > 43200) offset -= 86400;
    long magnitude = offset < 0 ? -offset : offset;
    char tz[32];
    std::snprintf(tz, sizeof tz, "TZ=XXX%c%02ld:%02ld:%02ld", offset < 0 ? '+' : '-',
                  magnitude / 3600, magnitude / 60 % 60, magnitude % 60);
    const std::string today = "tembra-" + bed::utc_text(now + offset, "%Y%m%d") + ".log";
    const std::string tomorrow = "tembra-" + bed::utc_text(now + offset + 3, "%Y%m%d") + ".log";
    ASSERT_NE(today, tomorrow);

    // Producers open the day's file too (empty), so only contents tell which file the drain uses.
    bed::Background drain = bed::start({"tembra-drain", "--follow"}, {tz});
    bed::run({"tembra-log", "before"}, {tz});
    EXPECT_TRUE(bed::wait_for(
        [&] { return bed::read_file(bed::kDir + today).find(" before ") != std::string::npos; }, 1000));
    while (time(nullptr) < now + 3) usleep(10000);
    usleep(300000);
    bed::run({"tembra-log", "after"}, {tz});
    EXPECT_TRUE(bed::wait_for(
        [&] { return bed::read_file(bed::kDir + tomorrow).find(" after ") != std::string::npos; }, 1000))
        << "the line posted after midnight is not in the new day's file";
    EXPECT_EQ(bed::finish(drain, SIGINT).status, 0);
    EXPECT_EQ(bed::read_file(bed::kDir + today).find(" after "), std::string::npos);
}

}  // namespace
