// What is shipped: the installed library's exports and its consumers, the
// units, retention, pages, completion, the Debian package and the deps script.
#include <dirent.h>
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

void write_file(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Runs argv as another user, or as ourselves when uid is 0.
std::vector<std::string> as_user(unsigned uid, std::vector<std::string> argv) {
    if (uid == 0) return argv;
    argv[0] = bed::bin(argv[0]);
    std::string id = std::to_string(uid);
    argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"});
    return argv;
}

// What "make install" puts in place, staged on the test bed's private tmpfs.
const std::string kStage = "/var/log/stage";
const std::string kSource = TEMBRA_SOURCE_DIR;

Output sh(const std::string &script, const std::vector<std::string> &env = {}) {
    return bed::run({"/bin/sh", "-c", script}, env);
}

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

// The names in a directory, sorted, without the dot entries.
std::vector<std::string> names_in(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *entry = readdir(d))
            if (entry->d_name[0] != '.') names.push_back(entry->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> pages() {
    std::vector<std::string> found;
    for (const std::string &name : names_in(kSource + "/man"))
        if (name.size() > 2 && name[name.size() - 2] == '.' && isdigit((unsigned char)name.back()))
            found.push_back(name);
    return found;
}

class Shipped : public ::testing::Test {
  protected:
    void SetUp() override {
        bed::reset();
        Output staged = sh("rm -rf " + kStage + " && cmake --install " TEMBRA_BUILD_DIR " --prefix " +
                           kStage + " >/dev/null");
        ASSERT_EQ(staged.status, 0) << staged.err;
    }
    void TearDown() override { bed::unlink_queue(); }
};

// The names of a library's symbols and their visibility, from readelf -s.
std::map<std::string, std::string> symbols(const std::string &path, bool defined) {
    std::map<std::string, std::string> names;
    std::istringstream table(bed::run({"/bin/sh", "-c", "readelf -sW " + path}).out);
    for (std::string row; std::getline(table, row);) {
        std::istringstream fields(row);
        std::string num, value, size, type, bind, vis, ndx, name;
        if (fields >> num >> value >> size >> type >> bind >> vis >> ndx >> name && bind == "GLOBAL" &&
            (ndx != "UND") == defined)
            names[name] = vis;
    }
    return names;
}

TEST_F(Shipped, UnitsPassSystemdVerify) {
    if (!exists("/usr/bin/systemd-analyze")) GTEST_SKIP() << "systemd-analyze is absent: units not verified";
    std::vector<std::string> units = names_in(kSource + "/packaging/systemd");
    ASSERT_FALSE(units.empty());
    std::string paths;
    for (const std::string &unit : units) {
        std::string installed = kStage + "/lib/systemd/system/" + unit;
        ASSERT_TRUE(exists(installed)) << installed;
        EXPECT_EQ(bed::read_file(installed).find("@bindir@"), std::string::npos) << unit;
        paths += " " + installed;
    }
    // The units name their pages, so man must find the staged ones.
    Output verify = sh("systemd-analyze verify" + paths, {"MANPATH=" + kStage + "/share/man"});
    EXPECT_EQ(verify.status, 0);
    EXPECT_EQ(verify.err + verify.out, "");
    EXPECT_NE(bed::read_file(kStage + "/lib/systemd/system/tembra-drain.service")
                  .find("\nExecStart=" + kStage + "/bin/tembra-drain --follow --posters=all\n"),
              std::string::npos);
}

TEST_F(Shipped, OldDayFilesAreCompressedThenRemoved) {
    if (!exists("/usr/bin/systemd-tmpfiles")) GTEST_SKIP() << "systemd-tmpfiles is absent";
    enum Fate { Kept, Compressed, Removed };
    const struct {
        int days;          // last written this many days ago
        const char *tail;  // after "tembra-YYYYMMDD"
        Fate fate;
    } rows[] = {
        {0, ".log", Kept},        {6, ".log", Kept},        {8, ".log", Compressed},
        {89, ".log", Compressed}, {91, ".log", Removed},    {120, ".log.gz", Removed},
    };
    const time_t now = time(nullptr);
    auto path_of = [&](const auto &row) {
        return bed::kDir + "tembra-" + bed::utc_text(now - row.days * 86400L, "%Y%m%d") + row.tail;
    };
    for (const auto &row : rows) {
        write_file(path_of(row), "day " + std::to_string(row.days) + "\n");
        timespec when[2] = {{now - row.days * 86400L, 0}, {now - row.days * 86400L, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path_of(row).c_str(), when, 0), 0);
    }
    write_file(bed::kDir + "notes.txt", "not a day file\n");

    // The compressing unit's own command, then the tmpfiles clean-up.
    std::string unit = bed::read_file(kStage + "/lib/systemd/system/tembra-compress.service");
    size_t at = unit.find("\nExecStart=");
    ASSERT_NE(at, std::string::npos);
    std::string command = unit.substr(at + 11, unit.find('\n', at + 1) - at - 11);
    Output compress = sh(command);
    EXPECT_EQ(compress.status, 0) << compress.err;
    Output clean = sh("systemd-tmpfiles --clean " + kStage + "/lib/tmpfiles.d/tembra.conf");
    EXPECT_EQ(clean.status, 0) << clean.err;

    for (const auto &row : rows) {
        std::string path = path_of(row);
        SCOPED_TRACE(path);
        EXPECT_EQ(exists(path), row.fate == Kept);
        EXPECT_EQ(exists(path + ".gz"), row.fate == Compressed);
        if (row.fate != Compressed) continue;
        EXPECT_EQ(sh("gzip -dc " + path + ".gz").out, "day " + std::to_string(row.days) + "\n");
        struct stat st;
        ASSERT_EQ(stat((path + ".gz").c_str(), &st), 0);
        EXPECT_EQ(st.st_mtime, now - row.days * 86400L) << "the removal age counts from here";
    }
    EXPECT_TRUE(exists(bed::kDir + "notes.txt"));
}

TEST_F(Shipped, SysctlSnippetDeepensTheQueueAProducerCreates) {
    if (!bed::can_raise_mqueue_limit()) GTEST_SKIP() << bed::kNoMqueueSysctl;
    // fs.mqueue belongs to the IPC namespace: this changes the test bed's only.
    Output set = bed::run({"/usr/sbin/sysctl", "-q", "-p", kStage + "/lib/sysctl.d/60-tembra.conf"});
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(bed::read_file("/proc/sys/fs/mqueue/msg_max"), "1024\n");
    // Created with the default attributes under the default RLIMIT_MSGQUEUE; the
    // limit is shared with other tests of this user, so a refusal is retried.
    Output producer = bed::in_child([] {
        rlimit limit = {819200, 819200};
        setrlimit(RLIMIT_MSGQUEUE, &limit);
        mqd_t q = (mqd_t)-1;
        for (int tries = 0; tries < 50 && q == (mqd_t)-1; ++tries) {
            q = mq_open("/mqd", O_RDWR | O_CREAT | O_NONBLOCK, 0600, nullptr);
            if (q == (mqd_t)-1 && errno != EMFILE && errno != ENOMEM) break;
            if (q == (mqd_t)-1) usleep(100000);
        }
        if (q == (mqd_t)-1) return std::printf("mq_open: %s", strerror(errno)), 1;
        mq_attr attr{};
        mq_getattr(q, &attr);
        mq_close(q);
        mq_unlink("/mqd");
        std::printf("%ld x %ld", (long)attr.mq_maxmsg, (long)attr.mq_msgsize);
        return 0;
    });
    EXPECT_EQ(producer.status, 0);
    EXPECT_EQ(producer.out, "32 x 8192");
}

TEST_F(Shipped, PagesAreLintCleanAndInstalledInTheirSection) {
    if (!exists("/usr/bin/mandoc")) GTEST_SKIP() << "mandoc is absent: pages not linted";
    ASSERT_GE(pages().size(), 4u);
    for (const std::string &page : pages()) {
        SCOPED_TRACE(page);
        Output lint = bed::run({"/usr/bin/mandoc", "-Tlint", kSource + "/man/" + page});
        EXPECT_EQ(lint.status, 0);
        EXPECT_EQ(lint.out + lint.err, "");
        EXPECT_TRUE(exists(kStage + "/share/man/man" + page.back() + "/" + page + ".gz"));
    }
}

TEST_F(Shipped, CompletionOffersOptionsAndNames) {
    const struct {
        const char *words;  // the command line so far, as bash splits it
        const char *offers;
    } rows[] = {
        {"tembra-log -l w", "warn warning"},
        {"tembra-log --level = c", "crit"},
        {"tembra-log -e -t S", "SERVER"},
        {"tembra-log --sk", "--skip-empty"},
        {"tembra-log -V m", ""},
        {"tembra-drain --f", "--follow"},
        {"tembra-drain --depth 1", ""},
        {"tembra-demo ''", ""},
        {"tembra-view -p al", "alert alert..warn"},
        {"tembra-view -o j", "json json-pretty"},
        {"tembra-forward --fac", "--facility"},
        {"tembra-forward --facility local7", "local7"},
        {"tembra-forward re", "relp://"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.words);
        std::string name = std::string(row.words).substr(0, std::string(row.words).find(' '));
        Output out = bed::run({"/bin/bash", "--norc", "-c",
                               ". " + kStage + "/share/bash-completion/completions/" + name +
                                   "; COMP_WORDS=(" + row.words +
                                   "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); "
                                   "$(complete -p " + name + " | sed -n 's/.*-F \\([^ ]*\\).*/\\1/p'); "
                                   "echo \"${COMPREPLY[*]}\""});
        EXPECT_EQ(out.err, "");
        EXPECT_EQ(out.out, std::string(row.offers) + "\n");
    }
}

TEST_F(Shipped, PackageHoldsEverythingAndItsProgramsRun) {
    const std::string out = "/var/log/pkg", root = "/var/log/root";
    Output built = sh("cpack -G DEB --config " TEMBRA_BUILD_DIR "/CPackConfig.cmake -B " + out +
                      " >/dev/null && dpkg-deb -c " + out + "/*.deb && dpkg -x " + out + "/*.deb " + root);
    ASSERT_EQ(built.status, 0) << built.err;
    std::set<std::string> files;
    std::istringstream listing(built.out);
    for (std::string line; std::getline(listing, line);) {
        std::string path = line.substr(line.find("./") + 2);
        path = path.substr(0, path.find(" -> "));  // a link's own name
        if (!path.empty() && path.back() != '/') files.insert(path);
        EXPECT_TRUE((path.starts_with("usr/") && !path.starts_with("usr/local")) || path == "etc/" || path.starts_with("etc/lnav/"))
            << path;
    }
    std::vector<std::string> want = {
        "usr/bin/tembra-log", "usr/bin/tembra-drain", "usr/bin/tembra-demo", "usr/bin/tembra-view",
        "usr/sbin/tembra-forward", "usr/include/tembra/logger/logger.h", "usr/lib/" TEMBRA_LIBRARY_FILE,
        "usr/lib/libtembra-logger.so.1", "etc/lnav/formats/installed/tembra_log.json",
        "usr/lib/pkgconfig/tembra-logger.pc", "usr/lib/sysctl.d/60-tembra.conf",
        "usr/lib/tmpfiles.d/tembra.conf", "usr/share/doc/tembra/copyright",
    };
    for (const std::string &page : pages()) want.push_back("usr/share/man/man" + std::string(1, page.back()) + "/" + page + ".gz");
    want.push_back("usr/share/doc/tembra/changelog.gz");
    for (const std::string &name : names_in(kSource + "/packaging/completion"))
        want.push_back("usr/share/bash-completion/completions/" + name);
    for (const std::string &unit : names_in(kSource + "/packaging/systemd"))
        want.push_back("usr/lib/systemd/system/" + unit);
    for (const std::string &path : want) EXPECT_EQ(files.count(path), 1u) << path << " is not in the package";

    EXPECT_NE(bed::read_file(root + "/usr/lib/systemd/system/tembra-drain.service")
                  .find("\nExecStart=/usr/bin/tembra-drain --follow --posters=all\n"),
              std::string::npos);
    // Every file under /etc is the administrator's (a conffile); pages and the
    // changelog are gzip'd without a name or time stamp (gzip -n: flags 0, mtime 0).
    std::string conffiles;
    for (const std::string &path : files)
        if (path.starts_with("etc/")) conffiles += "/" + path + "\n";
    Output control = sh("dpkg-deb -e " + out + "/*.deb " + out + "/control");
    ASSERT_EQ(control.status, 0) << control.err;
    EXPECT_EQ(bed::read_file(out + "/control/conffiles"), conffiles);
    for (const char *script : {"postinst", "prerm", "postrm"}) {
        struct stat st {};
        EXPECT_EQ(stat((out + "/control/" + script).c_str(), &st), 0) << script;
        EXPECT_EQ(st.st_mode & 0777, 0755u) << script;
    }
    for (const std::string &path : files) {
        if (!path.ends_with(".gz")) continue;
        std::string head = bed::read_file(root + "/" + path).substr(0, 8);
        EXPECT_EQ(head, std::string("\x1f\x8b\x08\0\0\0\0\0", 8)) << path;
    }
    EXPECT_NE(bed::read_file(root + "/usr/lib/pkgconfig/tembra-logger.pc").find("prefix=/usr\n"),
              std::string::npos);
    const struct {
        const char *program, *arg, *prints;
    } runs[] = {
        {"bin/tembra-log", "--version", "tembra-log 1.0.0\n"},
        {"bin/tembra-drain", "--version", "tembra-drain 1.0.0\n"},
        {"bin/tembra-view", "--version", "tembra-view 1.0.0\n"},
        {"sbin/tembra-forward", "--version", "tembra-forward 1.0.0\n"},
        {"bin/tembra-demo", nullptr, "yes i succeed! (SERVER) \n"},
    };
    for (const auto &run : runs) {
        std::vector<std::string> argv = {root + "/usr/" + run.program};
        if (run.arg) argv.push_back(run.arg);
        Output ran = bed::run(argv, {"LD_LIBRARY_PATH=" + root + "/usr/lib"});
        EXPECT_EQ(ran.status, 0) << run.program << ": " << ran.err;
        EXPECT_NE(ran.out.find(run.prints), std::string::npos) << run.program << ": " << ran.out;
    }
}

TEST(Deps, InstallsOrNamesOnlyWhatIsMissing) {
    bed::reset();
    // A copy of the script with a list of our own, on the private tmpfs.
    const std::string dir = "/var/log/deps";
    Output copied = sh("mkdir -p " + dir + "/packaging && cp " + kSource + "/packaging/deps " + dir +
                       "/packaging/ && chmod -R a+rX " + dir);
    ASSERT_EQ(copied.status, 0) << copied.err;
    write_file(dir + "/packages.txt", "# purpose: packages\nbuild: dpkg\ntest: dpkg no-such-package-a "
                                      "coreutils no-such-package-b\n");
    const struct {
        const char *purposes;
        unsigned uid;  // who runs it: 0 finds nothing to install here
        int status;
        std::string says;
    } rows[] = {
        {"build", 0, 0, ""},
        {"build test", 65534, 1,
         "Missing Debian packages: no-such-package-a no-such-package-b. As root, run:\n"
         "  apt-get install -y -q --no-install-recommends no-such-package-a no-such-package-b\n"},
        {"nope", 0, 2, "deps: no purpose 'nope' in " + dir + "/packaging/../packages.txt\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.purposes);
        if (row.uid != 0 && (geteuid() != 0 || exists("/usr/bin/sudo"))) continue;
        Output out = bed::run(as_user(row.uid, {"/bin/sh", "-c", dir + "/packaging/deps " + row.purposes}));
        EXPECT_EQ(out.status, row.status);
        EXPECT_EQ(out.out + out.err, row.says);
    }
}

TEST(Install, SharedExportsOnlyThePublicCallsAndBothFormsHideTheRest) {
    const std::string lib = std::string(TEMBRA_BUILD_DIR) + "/lib/libtembra-logger";
    const std::set<std::string> exported = {"Log_Init", "Log_Send", "Log_Write", "Log_Drain",
                                            "Log_Lost", "Log_SetPostOnly", "mqd", "logfile",
                                            "Log_SetWait", "Log_SetEcho", "Log_SetTrace"};
    Output nm = bed::run({"/bin/sh", "-c", "nm -D --defined-only " + lib + ".so"});
    ASSERT_EQ(nm.status, 0) << nm.err;
    std::set<std::string> names;
    std::istringstream rows(nm.out);
    for (std::string value, kind, name; rows >> value >> kind >> name;) names.insert(name);
    EXPECT_EQ(names, exported) << nm.out;
    EXPECT_NE(bed::run({"/bin/sh", "-c", "objdump -p " + lib + ".so"}).out.find("SONAME               libtembra-logger.so.1\n"),
              std::string::npos);
    for (const auto &[name, vis] : symbols(lib + ".a", true)) {
        if (name.starts_with("__")) continue;  // the compiler's own, e.g. the sanitizers'
        EXPECT_EQ(vis, exported.count(name) ? "DEFAULT" : "HIDDEN") << name << " in the static library";
    }
    EXPECT_GT(symbols(lib + ".a", true).size(), exported.size());
}

TEST(Install, ConsumersBuildEachWayAndRun) {
    bed::reset();
    const std::string stage = "/var/log/stage";  // on the test bed's private tmpfs
    const std::string flags = TEMBRA_CONSUMER_FLAGS;
    const std::string src = std::string(TEMBRA_SOURCE_DIR) + "/tests/packaging/consumer";
    // pkg-config: the shared library by its rpath, the static one by asking the linker for archives.
    const std::string pc = "-I" + src + " $(pkg-config --cflags tembra-logger) ";
    const std::string shared = "$(pkg-config --libs tembra-logger) -Wl,-rpath,$(pkg-config --variable=libdir tembra-logger)";
    const std::string archive = "-Wl,-Bstatic $(pkg-config --static --libs tembra-logger) -Wl,-Bdynamic";
    const std::string script =
        "set -e; rm -rf " + stage + "; cmake --install " TEMBRA_BUILD_DIR " --prefix " + stage +
        " >/dev/null; cmake -S " + src + " -B " + stage + "/cm -DCMAKE_PREFIX_PATH=" + stage +
        " '-DCMAKE_C_FLAGS=" + flags + "' '-DCMAKE_CXX_FLAGS=" + flags + "' '-DCMAKE_EXE_LINKER_FLAGS=" + flags +
        "' >/dev/null; cmake --build " + stage + "/cm >/dev/null; export PKG_CONFIG_PATH=$(echo " + stage +
        "/lib*/pkgconfig); cd " + stage + "; " +
        "cc " + flags + " " + src + "/consumer.c " + pc + shared + " -o pc_c_shared; " +
        "cc " + flags + " " + src + "/consumer.c " + pc + archive + " -o pc_c_static; " +
        "c++ -std=c++20 " + flags + " " + src + "/consumer.cpp " + pc + shared + " -o pc_cpp_shared; " +
        "c++ -std=c++20 " + flags + " " + src + "/consumer.cpp " + pc + archive + " -o pc_cpp_static";
    Output built = bed::run({"/bin/sh", "-c", script});
    ASSERT_EQ(built.status, 0) << built.err;
    const struct {
        const char *program;
        bool shared;
    } rows[] = {{"cm/consumer_c_shared", true},  {"cm/consumer_c_static", false},
                {"cm/consumer_cpp_shared", true}, {"cm/consumer_cpp_static", false},
                {"pc_c_shared", true},            {"pc_c_static", false},
                {"pc_cpp_shared", true},          {"pc_cpp_static", false}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.program);
        const std::string program = stage + "/" + row.program;
        std::string needed = bed::run({"/bin/sh", "-c", "readelf -d " + program}).out;
        EXPECT_EQ(needed.find("[libtembra-logger.so.1]") != std::string::npos, row.shared) << needed;
        std::string before = bed::log_contents();
        Output out = bed::run({program, row.program});
        EXPECT_EQ(out.status, 0) << out.err;
        EXPECT_TRUE(bed::matches(bed::log_contents().substr(before.size()),
                                 bed::line_pattern("ERROR", "SERVER", std::string("consumer ") + row.program)))
            << bed::log_contents();
    }
    bed::unlink_queue();
}

}  // namespace
