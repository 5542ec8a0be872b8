// Running as a service: tembra-log's options and its word on a queue owned by
// another user, the shipped units, retention, pages, completion and package.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "testbed.h"

namespace {

using bed::Output;

class LogOptions : public bed::Test {};

void write_file(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> tool(const char *name, const std::vector<std::string> &args) {
    std::vector<std::string> argv = {name};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

TEST_F(LogOptions, SystemLoggerLevelNamesAndOptionForms) {
    const struct {
        std::vector<std::string> args;
        unsigned priority;
        const char *level, *type, *message;
    } rows[] = {
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

// Runs argv as another user, or as ourselves when uid is 0.
std::vector<std::string> as_user(unsigned uid, std::vector<std::string> argv) {
    if (uid == 0) return argv;
    argv[0] = bed::bin(argv[0]);
    std::string id = std::to_string(uid);
    argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"});
    return argv;
}

TEST_F(LogOptions, AQueueOfAnotherUserIsNamedWithWhatToDo) {
    if (geteuid() != 0 || !bed::create_queue_as_stranger(0600)) GTEST_SKIP() << "needs root";
    const std::string mount = "/var/log/mqueue";  // the queue file system, mounted on the private tmpfs
    const struct {
        unsigned uid;   // who runs tembra-log
        bool mounted;   // whether the queue file system is mounted
        const char *says;
    } rows[] = {
        {0, false, "the queue /mqd belongs to nobody (uid 65534), not to root; run as nobody, or "
                   "drain it as nobody (sudo -u nobody tembra-drain) and remove it (sudo rm "
                   "/dev/mqueue/mqd)\n"},
        {4242, true, "the queue /mqd belongs to nobody (uid 65534), not to uid 4242; run as nobody, "
                     "or drain it as nobody (sudo -u nobody tembra-drain) and remove it (sudo rm "
                     "/var/log/mqueue/mqd)\n"},
        {4242, false, "the queue /mqd belongs to another user; to see whom, mount the queue file "
                      "system (sudo mount -t mqueue none /dev/mqueue)"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.says);
        if (row.mounted) {
            ASSERT_EQ(mkdir(mount.c_str(), 0755) == 0 || errno == EEXIST, true);
            ASSERT_EQ(::mount("mqueue", mount.c_str(), "mqueue", 0, nullptr), 0) << strerror(errno);
        }
        Output out = bed::run(as_user(row.uid, {"tembra-log", "m"}));
        if (row.mounted) umount(mount.c_str());
        EXPECT_EQ(out.status, 1);
        size_t module = out.err.find("mq_open(): Permission denied\n");
        size_t ours = out.err.find("tembra-log: " + std::string(row.says));
        ASSERT_NE(ours, std::string::npos) << out.err;
        EXPECT_LT(module, ours) << out.err;
        EXPECT_EQ(bed::count_of(out.err, "tembra-log: the queue"), 1u);
    }
}

}  // namespace
