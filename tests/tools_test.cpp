// The tools on the private queue: tembra-log, tembra-drain once and with
// --follow, the logger under threads and fork, and the installed library.
#include <fcntl.h>
#include <mqueue.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
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

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start + 1));
    return lines;
}

class LogTool : public bed::Test {};
class DrainTool : public bed::Test {};
class Threads : public bed::Test {};

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

TEST_F(LogTool, ExitsOneWhenARecordWasLost) {
    const struct {
        int room;  // messages the queue of 3 has room for
        const char *input;
        int status;
        size_t posted;
    } rows[] = {{3, "a\nb\n", 0, 2}, {1, "a\nb\nc\n", 1, 1}, {0, "a\n", 1, 0}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.input);
        bed::reset();
        mqd_t q = sandbox_create_queue(3, 256);
        ASSERT_NE(q, (mqd_t)-1);
        for (int k = row.room; k < 3; ++k) mq_send(q, "fill", 4, 0);
        mq_close(q);
        Output out = bed::run({"tembra-log", "-l", "warn"}, {}, row.input);
        EXPECT_EQ(out.status, row.status) << out.err;
        EXPECT_EQ(bed::take_all().size(), 3 - row.room + row.posted);
    }
}

TEST_F(LogTool, FailsWithoutAQueue) {
    if (!bed::create_queue_as_stranger(0600)) GTEST_SKIP() << "cannot change uid here";
    Output out = bed::run({"tembra-log", "m"});
    EXPECT_EQ(out.status, 1);
    EXPECT_NE(out.err.find("mq_open(): Permission denied\n"), std::string::npos);
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
    Output out = bed::finish(drain, SIGTERM);
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(bed::count_of(out.out, "[mq_attr_info]"), 1u);
    EXPECT_EQ(split_lines(bed::log_contents()).size(), 3u);
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

TEST(Install, SharedExportsOnlyThePublicCallsAndBothFormsHideTheRest) {
    const std::string lib = std::string(TEMBRA_BUILD_DIR) + "/lib/libtembra-logger";
    const std::set<std::string> exported = {"Log_Init", "Log_Send", "Log_Write", "Log_Drain",
                                            "Log_Lost", "mqd", "logfile"};
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
    const std::string src = std::string(TEMBRA_SOURCE_DIR) + "/tests/consumer";
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
