// tembra-log: its options, its input, its exit status and its word on a
// queue owned by another user.
#include <dirent.h>
#include <grp.h>
#include <fcntl.h>
#include <mqueue.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
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
#include "testbed.h"

namespace {

using bed::Output;

class LogTool : public bed::Test {};

class LogOptions : public bed::Test {};

void write_file(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> tool(const char *name, const std::vector<std::string> &args) {
    std::vector<std::string> argv = {name};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

TEST_F(LogTool, EachLineOfInputIsARecordAndPercentSignsStay) {
    Output out = bed::run({"tembra-log", "-l", "error"}, {}, "first %s %d 100%\nsecond %c\n\nlast");
    EXPECT_EQ(out.status, 0);
    auto queued = bed::take_all();
    ASSERT_EQ(queued.size(), 4u);
    const char *want[] = {"first %s %d 100%", "second %c", "", "last"};
    for (size_t i = 0; i < 4; ++i)
        EXPECT_TRUE(bed::matches(queued[i].bytes, bed::line_pattern("ERROR", "PROGRAM", want[i])))
            << queued[i].bytes;

    EXPECT_EQ(bed::run({"tembra-log", "%s %d 100%"}).status, 0);
    queued = bed::take_all();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_NE(queued[0].bytes.find(" %s %d 100% (PROGRAM) \n"), std::string::npos);
}

TEST_F(LogTool, BadArgumentsPostNothing) {
    const std::vector<std::vector<std::string>> rows = {
        {"-l", "7", "m"}, {"-l", "bogus", "m"}, {"-l", "-1", "m"}, {"-t", "2", "m"},
        {"-t", "client", "m"}, {"--nope", "m"}, {"-l"}, {"-t"},
    };
    for (const auto &args : rows) {
        std::vector<std::string> argv = {"tembra-log"};
        argv.insert(argv.end(), args.begin(), args.end());
        Output out = bed::run(argv);
        SCOPED_TRACE(argv[1]);
        EXPECT_EQ(out.status, 2);
        EXPECT_NE(out.err.find("usage: tembra-log"), std::string::npos);
        EXPECT_LE(bed::pending(), 0);
    }
    EXPECT_EQ(bed::run({"tembra-log", "--help"}).status, 0);
    EXPECT_EQ(bed::run({"tembra-log", "--version"}).out, "tembra-log 1.0.0\n");
}

TEST_F(LogTool, QuietWaitsForRoomAndExitsOneWhenARecordWasLost) {
    const struct {
        int room;           // messages the queue of 3 has room for
        std::vector<std::string> args;
        const char *input;
        int room_after_ms;  // all taken off after this long; -1 never
        int status;
        size_t posted;
        const char *err;    // standard error, a pattern
        double at_most;     // seconds the run may take
    } rows[] = {
        {3, {}, "a\nb\n", -1, 0, 2, "", 2},
        {1, {"-w", "0"}, "a\nb\nc\n", -1, 1, 1, "(Resource temporarily unavailable :mq_send\\(\\)\\[Log_Send\\]\n){2}", 2},
        {0, {"--wait=0"}, "a\n", -1, 1, 0, "Resource temporarily unavailable :mq_send.*\n", 2},
        {0, {"--wait=300"}, "a\nb\n", -1, 1, 0, "(Resource temporarily unavailable :mq_send.*\n){2}", 2},
        {0, {}, "a\nb\n", 300, 0, 2, "", 5},
        {1, {"-s", "-w", "0"}, "a\nb\n", -1, 1, 1,
         "(\\[WARN\\] [-0-9]+ [:0-9]+ a \\(PROGRAM\\) \n\n)(\\[WARN\\] [-0-9]+ [:0-9]+ b \\(PROGRAM\\) \n\n)"
         "Resource temporarily unavailable :mq_send.*\n", 2},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.input);
        bed::reset();
        mqd_t q = sandbox_create_queue(3, 256);
        ASSERT_NE(q, (mqd_t)-1);
        for (int k = row.room; k < 3; ++k) mq_send(q, "fill", 4, 0);
        mq_close(q);
        std::vector<std::string> argv = {"-l", "warn"};
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        // A process, not a thread, makes room: a fork while another thread
        // runs may leave the child a lock it can never take.
        pid_t room = row.room_after_ms >= 0 ? fork() : -1;
        if (room == 0) {
            usleep(row.room_after_ms * 1000);
            _exit((int)bed::take_all().size());
        }
        auto start = std::chrono::steady_clock::now();
        Output out = bed::run(tool("tembra-log", argv), {}, row.input);
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        int room_status = 0;
        if (room > 0) waitpid(room, &room_status, 0);
        size_t taken = room > 0 && WIFEXITED(room_status) ? (size_t)WEXITSTATUS(room_status) : 0;
        EXPECT_EQ(out.status, row.status) << out.err;
        EXPECT_EQ(out.out, "");
        EXPECT_TRUE(bed::matches(out.err, row.err)) << out.err;
        EXPECT_LE(took.count(), row.at_most);
        EXPECT_EQ(taken + bed::take_all().size(), 3 - row.room + row.posted);
    }
}

TEST_F(LogTool, FailsWithoutAQueue) {
    if (!bed::create_queue_as_stranger(0600)) GTEST_SKIP() << "cannot change uid here";
    Output out = bed::run({"tembra-log", "m"});
    EXPECT_EQ(out.status, 1);
    EXPECT_NE(out.err.find("mq_open(): Permission denied\n"), std::string::npos);
}

TEST_F(LogOptions, LevelAndTypeNamesNumbersAndOptionForms) {
    const struct {
        std::vector<std::string> args;
        unsigned priority;
        const char *level, *type, *message;
    } rows[] = {
        {{"hello", "world"}, 0, "INFO", "PROGRAM", "hello world"},
        {{"-l", "warn", "-t", "server", "w"}, 2, "WARN", "SERVER", "w"},
        {{"--level", "Alert", "--type", "Program", "a"}, 4, "ALERT", "PROGRAM", "a"},
        {{"-l", "3", "-t", "1", "e"}, 3, "ERROR", "SERVER", "e"},
        {{"-l", "DEBUG", "--", "-x", "y"}, 1, "DEBUG", "PROGRAM", "-x y"},
        {{"-l", "emerg", "m"}, 4, "ALERT", "PROGRAM", "m"},
        {{"-l", "alert", "m"}, 4, "ALERT", "PROGRAM", "m"},
        {{"-l", "crit", "m"}, 4, "ALERT", "PROGRAM", "m"},
        {{"--level=err", "m"}, 3, "ERROR", "PROGRAM", "m"},
        {{"-lwarning", "m"}, 2, "WARN", "PROGRAM", "m"},
        {{"--level", "NOTICE", "m"}, 0, "INFO", "PROGRAM", "m"},
        {{"-l", "info", "m"}, 0, "INFO", "PROGRAM", "m"},
        {{"-l", "debug", "m"}, 1, "DEBUG", "PROGRAM", "m"},
        {{"-elwarn", "--type=server", "m"}, 2, "WARN", "SERVER", "m"},
        {{"-tserver", "two", "-lcrit", "words"}, 4, "ALERT", "SERVER", "two words"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.args[0] + " " + row.args[1]);
        EXPECT_EQ(bed::run(tool("tembra-log", row.args)).status, 0);
        auto queued = bed::take_all();
        ASSERT_EQ(queued.size(), 1u);
        EXPECT_EQ(queued[0].priority, row.priority);
        EXPECT_TRUE(bed::matches(queued[0].bytes, bed::line_pattern(row.level, row.type, row.message)))
            << queued[0].bytes;
    }
}

TEST_F(LogOptions, LinesOfAFileOrInputWithEmptyOnesSkippedOnRequest) {
    const std::string file = "/var/log/lines.txt";  // on the test bed's private tmpfs
    write_file(file, "first\n\nlast %s\n");
    const struct {
        std::vector<std::string> args;
        const char *input;
        std::vector<std::string> messages;
    } rows[] = {
        {{"-f", file}, "", {"first", "", "last %s"}},
        {{"-e", "-f", file}, "", {"first", "last %s"}},
        {{"--skip-empty", "--file=" + file}, "", {"first", "last %s"}},
        {{"-e"}, "a\n\n\nb", {"a", "b"}},
        {{"-f", "-", "-lerr"}, "x\n\ny\n", {"x", "", "y"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.args[0]);
        EXPECT_EQ(bed::run(tool("tembra-log", row.args), {}, row.input).status, 0);
        auto queued = bed::take_all();
        ASSERT_EQ(queued.size(), row.messages.size());
        for (size_t i = 0; i < queued.size(); ++i)
            EXPECT_NE(queued[i].bytes.find(" " + row.messages[i] + " (PROGRAM) \n"), std::string::npos)
                << queued[i].bytes;
    }
}

TEST_F(LogOptions, MistakenOptionsAreRefusedWithAReason) {
    const struct {
        std::vector<std::string> args;
        int status;
        const char *reason;
    } rows[] = {
        {{"--tag", "app", "m"}, 2, "there is no --tag"},
        {{"-t", "app", "m"}, 2, "bad type 'app': -t is the kind of component"},
        {{"-l", "notalevel", "m"}, 2, "bad level 'notalevel'"},
        {{"-f", "/var/log/lines.txt", "m"}, 2, "not both"},
        {{"-l"}, 2, "option '-l' needs a value"},
        {{"--wait=-5", "m"}, 2, "--wait takes milliseconds, 0 or more, not '-5'"},
        {{"-w", "1s", "m"}, 2, "--wait takes milliseconds, 0 or more, not '1s'"},
        {{"-x", "m"}, 2, "unknown or ambiguous option '-x'"},
        {{"-f", "/var/log/none.txt"}, 1, "tembra-log: /var/log/none.txt: No such file or directory\n"},
        {{"-f", "/var/log"}, 1, "tembra-log: /var/log: Is a directory\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.args[0]);
        Output out = bed::run(tool("tembra-log", row.args));
        EXPECT_EQ(out.status, row.status);
        EXPECT_NE(out.err.find(row.reason), std::string::npos) << out.err;
        EXPECT_LE(bed::pending(), 0);
    }
    EXPECT_EQ(bed::run({"tembra-log", "-V"}).out, "tembra-log 1.0.0\n");
    Output help = bed::run({"tembra-log", "-h"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("-t, --type=TYPE    the kind of component, not a tag"), std::string::npos);
}

TEST_F(LogOptions, AQueueOfAnotherUserIsNamedWithWhatToDo) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    const std::string mount = "/var/log/mqueue";  // the queue file system, mounted on the private tmpfs
    const std::string adm = getgrnam("adm") ? "adm" : "gid 4";
    const std::string root_s = "the queue /mqd is the system's drain's (root's), which alone reads it; ";
    const struct {
        const char *tool;
        unsigned uid;          // who runs the tool
        unsigned owner;        // whose queue it is
        mode_t mode;           // its mode; its group is adm
        bool mounted;          // whether the queue file system is mounted
        std::string says;
    } rows[] = {
        {"tembra-log", 0, 65534, 0600, false, "the queue /mqd belongs to nobody (uid 65534), not to root; run as nobody, "
            "or let the system's drain take it over (sudo systemctl start tembra-drain), or drain it as nobody "
            "(sudo -u nobody tembra-drain) and remove it (sudo rm /dev/mqueue/mqd)\n"},
        {"tembra-drain", 0, 65534, 0600, false, "the queue /mqd belongs to nobody (uid 65534), not to root"},
        {"tembra-log", 4242, 65534, 0600, true, "the queue /mqd belongs to nobody (uid 65534), not to uid 4242; run as "
            "nobody, or let the system's drain take it over (sudo systemctl start tembra-drain), or drain it as "
            "nobody (sudo -u nobody tembra-drain) and remove it (sudo rm /var/log/mqueue/mqd)\n"},
        {"tembra-log", 4242, 65534, 0600, false, "the queue /mqd belongs to another user; to see whom and who may post, "
            "mount the queue file system (sudo mount -t mqueue none /dev/mqueue)\n"},
        {"tembra-log", 4242, 0, 0600, true, root_s + "only root may post to it: ask an administrator to let every "
            "user post (tembra-drain --posters=all) or a group of yours (--posters=group:NAME)\n"},
        {"tembra-log", 4242, 0, 0620, true, root_s + "only group " + adm + " may post to it: ask an administrator to "
            "add you to group " + adm + " (then log in again)\n"},
        {"tembra-drain", 4242, 0, 0622, true, root_s + "every user may post to it: its lines reach /var/log/Tembra/ "
            "without another drain\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.says);
        bed::reset();
        ASSERT_TRUE(bed::make_queue(row.owner, 4, row.mode));
        if (row.mounted) {
            ASSERT_EQ(mkdir(mount.c_str(), 0755) == 0 || errno == EEXIST, true);
            ASSERT_EQ(::mount("mqueue", mount.c_str(), "mqueue", 0, nullptr), 0) << strerror(errno);
        }
        std::vector<std::string> argv = {row.tool};
        if (std::string(row.tool) == "tembra-log") argv.push_back("m");
        Output out = bed::run(bed::as_user(row.uid, argv));
        if (row.mounted) umount(mount.c_str());
        EXPECT_EQ(out.status, 1);
        size_t ours = out.err.find(std::string(row.tool) + ": " + row.says);
        ASSERT_NE(ours, std::string::npos) << out.err;
        EXPECT_EQ(bed::count_of(out.err, std::string(row.tool) + ": the queue"), 1u);
        if (row.owner == 0) {
            EXPECT_EQ(out.err.find(" rm "), std::string::npos) << "root's queue is never to be removed";
        }
        // The logger's own report comes first, unless the queue let a drain post but not read.
        size_t module = out.err.find("mq_open(): Permission denied\n");
        if (row.mode != 0622) {
            EXPECT_LT(module, ours) << out.err;
        }
    }
}

}  // namespace
