// tembra-view on day files in the private log directory: merge order,
// filters, the three outputs, escaping, colour and paging, following, exit status.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "testbed.h"

namespace {

using bed::Output;

const std::string kDay1 = bed::kDir + "tembra-20261207.log";
const std::string kDay2 = bed::kDir + "tembra-20261208.log";

void write(const std::string &path, const std::string &bytes, bool append = false) {
    std::ofstream(path, append ? std::ios::binary | std::ios::app : std::ios::binary) << bytes;
}

std::string rec(const char *level, const char *stamp, const std::string &message, const char *type = "PROGRAM") {
    std::string text = "[";
    for (const std::string &part : {std::string(level), std::string("] "), std::string(stamp), std::string(" "),
                                    message, std::string(" ("), std::string(type), std::string(") \n")})
        text += part;
    return text;
}

Output view(std::vector<std::string> args, const std::vector<std::string> &env = {}) {
    args.insert(args.begin(), "tembra-view");
    return bed::run(args, env);
}

// Two days as one drain writes them: each batch highest level first.
void write_two_days() {
    write(kDay1, rec("ALERT", "2026-12-07 10:00:03", "a3", "SERVER") + rec("WARN", "2026-12-07 10:00:01", "w1") +
                     rec("WARN", "2026-12-07 10:00:04", "w4", "SERVER") + rec("INFO", "2026-12-07 10:00:01", "i1") +
                     rec("INFO", "2026-12-07 10:00:02", "i2\nsecond row") + "not a record\n" +
                     rec("ERROR", "2026-12-07 23:59:59", "e5") + rec("DEBUG", "2026-12-07 10:00:06", "d6"));
    std::string day2 = rec("INFO", "2026-12-07 23:59:59", "late") + rec("DEBUG", "2026-12-08 00:00:01", "d7");
    gzFile gz = gzopen((kDay2 + ".gz").c_str(), "wb");
    gzwrite(gz, day2.data(), (unsigned)day2.size());
    gzclose(gz);
}

class View : public bed::Test {
  protected:
    void SetUp() override {
        bed::Test::SetUp();
        write_two_days();
    }
};

TEST_F(View, MergesLevelsAndFilesInTimeOrder) {
    Output out = view({"-o", "cat"});
    EXPECT_EQ(out.status, 0) << out.err;
    // Equal times keep file order: w1 before i1, e5 before late.
    EXPECT_EQ(out.out, "w1\ni1\ni2\nsecond row\nnot a record\na3\nw4\nd6\ne5\nlate\nd7\n");
    // The same when the files are given by name, and "short" drops only the blank before the newline.
    Output named = view({kDay1, kDay2 + ".gz"});
    EXPECT_NE(named.out.find("[WARN] 2026-12-07 10:00:01 w1 (PROGRAM)\n[INFO] 2026-12-07 10:00:01 i1 (PROGRAM)\n"
                             "[INFO] 2026-12-07 10:00:02 i2\nsecond row (PROGRAM)\nnot a record\n"),
              std::string::npos)
        << named.out;
}

TEST_F(View, Filters) {
    const struct {
        std::vector<std::string> args;
        const char *want;
    } rows[] = {
        {{"-p", "warn"}, "w1 a3 w4 e5"},
        {{"--priority", "ERROR"}, "a3 e5"},
        {{"-p", "1"}, "w1 a3 w4 d6 e5 d7"},
        {{"-p", "info..debug"}, "i1 i2\nsecond row d6 late d7"},
        {{"-p", "alert..warn"}, "w1 a3 w4 e5"},
        {{"-t", "server"}, "a3 w4"},
        {{"-S", "2026-12-07 10:00:04", "-U", "2026-12-07 23:59:59"}, "w4 d6 e5 late"},
        {{"-S", "2026-12-08"}, "d7"},
        {{"-g", "^[ie]"}, "i1 i2\nsecond row e5"},
        {{"-g", "ROW|W"}, ""},
        {{"-g", "row|w"}, "w1 i2\nsecond row w4"},
        {{"-n", "2"}, "late d7"},
        {{"-r", "-p", "warn"}, "e5 w4 a3 w1"},
        {{"-r", "-n", "3"}, "d7 late e5"},
        {{"-n", "0"}, ""},
    };
    for (const auto &row : rows) {
        std::vector<std::string> args = row.args;
        args.insert(args.end(), {"-o", "cat"});
        Output out = view(args);
        std::string got;
        for (size_t at = 0, nl; (nl = out.out.find('\n', at)) != std::string::npos; at = nl + 1)
            got.append(got.empty() ? "" : " ").append(out.out, at, nl - at);
        // "i2\nsecond row" is one record: join it back for the table.
        for (size_t at; (at = got.find("i2 second")) != std::string::npos;) got.replace(at, 3, "i2\n");
        SCOPED_TRACE(args[0] + " " + args[1]);
        EXPECT_EQ(got, row.want);
        EXPECT_EQ(out.status, *row.want ? 0 : 1);
    }
}

TEST_F(View, OutputsJsonEscapedAndLinesThatAreNotRecords) {
    write(kDay1, rec("WARN", "2026-12-07 10:00:01", "q\"uote\\ tab\t bell\a esc\x1b[31m nl\n end \xff \xc3\xa9", "SERVER") +
                     "raw \x1b]0;title\x07 line\n" + rec("7", "2026-12-07 10:00:02", "odd", "9"));
    unlink((kDay2 + ".gz").c_str());
    const struct {
        const char *format;
        std::string want;
    } rows[] = {
        {"json",
         "{\"record\":true,\"level\":\"WARN\",\"priority\":2,\"time\":\"2026-12-07T10:00:01+01:00\",\"type\":\"SERVER\","
         "\"message\":\"q\\\"uote\\\\ tab\\t bell\\u0007 esc\\u001b[31m nl\\n end \\u00ff \xc3\xa9\",\"file\":\"" +
             kDay1 + "\"}\n{\"record\":false,\"line\":\"raw \\u001b]0;title\\u0007 line\",\"file\":\"" + kDay1 +
             "\"}\n{\"record\":true,\"level\":\"7\",\"priority\":7,\"time\":\"2026-12-07T10:00:02+01:00\","
             "\"type\":\"9\",\"message\":\"odd\",\"file\":\"" +
             kDay1 + "\"}\n"},
        {"short",
         "[WARN] 2026-12-07 10:00:01 q\"uote\\ tab\t bell\\x07 esc\\x1b[31m nl\n end \xff \xc3\xa9 (SERVER)\n"
         "raw \\x1b]0;title\\x07 line\n[7] 2026-12-07 10:00:02 odd (9)\n"},
        {"cat", "q\"uote\\ tab\t bell\\x07 esc\\x1b[31m nl\n end \xff \xc3\xa9\nraw \\x1b]0;title\\x07 line\nodd\n"},
    };
    for (const auto &row : rows) {
        Output out = view({"-o", row.format}, {"TZ=CET-1"});
        EXPECT_EQ(out.status, 0);
        EXPECT_EQ(out.out, row.want) << row.format;
    }
}

TEST_F(View, ColoursAndPagerOnlyOnATerminal) {
    const std::string pager_log = "/var/log/paged";
    const struct {
        const char *env;
        const char *rows;
        bool colour, paged;
    } rows[] = {
        {"", "50", true, false},
        {"NO_COLOR=1", "50", false, false},
        {"", "4", true, true},
        {"NO_COLOR=1", "4", false, true},
    };
    for (const auto &row : rows) {
        unlink(pager_log.c_str());
        // script(1) gives tembra-view a terminal of the given height.
        std::string command = "stty rows " + std::string(row.rows) + " cols 80; " + row.env +
                              " PAGER='cat > " + pager_log + "' " + bed::bin("tembra-view") + " -p warn";
        Output out = bed::run({"/usr/bin/script", "-qec", command, "/dev/null"});
        std::string shown = out.out + bed::read_file(pager_log);
        SCOPED_TRACE(std::string(row.env) + " rows " + row.rows);
        EXPECT_EQ(out.status, 0);
        EXPECT_EQ(shown.find("\x1b[33m[WARN]\x1b[0m 2026-12-07 10:00:01 w1") != std::string::npos, row.colour) << shown;
        EXPECT_NE(shown.find("e5 (PROGRAM)"), std::string::npos);
        EXPECT_EQ(!bed::read_file(pager_log).empty(), row.paged);
    }
    // Not a terminal: no colour whatever the environment, and no pager.
    Output piped = view({"-p", "warn"}, {"PAGER=false"});
    EXPECT_EQ(piped.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(piped.status, 0);
}

TEST_F(View, FollowsAReplacedFileAndTheNextDay) {
    unlink((kDay2 + ".gz").c_str());
    bed::Background follow = bed::start({"tembra-view", "-f", "-n", "1", "-o", "cat"});
    fcntl(follow.out, F_SETFL, O_NONBLOCK);
    std::string seen;
    auto shows = [&](const std::string &text) {
        return bed::wait_for([&] {
            char buf[4096];
            for (ssize_t n; (n = read(follow.out, buf, sizeof buf)) > 0;) seen.append(buf, (size_t)n);
            return seen.ends_with(text);
        }, 8000);
    };
    const struct {
        const char *what;
        std::function<void()> step;
        const char *shown;
    } steps[] = {
        {"the last record so far", [] {}, "e5\n"},
        {"appended", [] { write(kDay1, rec("INFO", "2026-12-07 23:59:59", "f1"), true); }, "f1\n"},
        {"replaced",
         [] {
             write(kDay1 + ".new", rec("INFO", "2026-12-07 23:59:59", "f2"));
             rename((kDay1 + ".new").c_str(), kDay1.c_str());
         },
         "f2\n"},
        {"the next day", [] { write(kDay2, rec("INFO", "2026-12-08 00:00:00", "f3")); }, "f3\n"},
        {"the next day grows", [] { write(kDay2, rec("WARN", "2026-12-08 00:00:01", "f4"), true); }, "f4\n"},
    };
    for (const auto &s : steps) {
        s.step();
        EXPECT_TRUE(shows(s.shown)) << s.what << ": " << seen;
    }
    Output rest = bed::finish(follow, SIGTERM);
    EXPECT_EQ(rest.status, 0);
    EXPECT_EQ(seen + rest.out, "e5\nf1\nf2\nf3\nf4\n");
}

TEST_F(View, ExitStatusAndOneLineReasons) {
    const struct {
        std::vector<std::string> args;
        int status;
        const char *reason;
    } rows[] = {
        {{}, 0, ""},
        {{"-p", "warn", "-t", "server"}, 0, ""},
        {{"-g", "nothing like this"}, 1, ""},
        {{"-S", "tomorrow"}, 1, ""},
        {{"-p", "loud"}, 2, "tembra-view: bad priority 'loud'\n"},
        {{"-p", "5"}, 2, "tembra-view: bad priority '5'\n"},
        {{"-t", "client"}, 2, "tembra-view: bad type 'client'\n"},
        {{"-S", "last week"}, 2, "tembra-view: bad time 'last week'\n"},
        {{"-S", "today", "-U", "yesterday"}, 2, "tembra-view: --since is later than --until\n"},
        {{"-n", "-3"}, 2, "tembra-view: bad number of lines '-3'\n"},
        {{"-o", "xml"}, 2, "tembra-view: bad output format 'xml'\n"},
        {{"-g", "("}, 2, "tembra-view: bad pattern '(': "},
        {{"--bogus"}, 2, "tembra-view: unknown option '--bogus'\n"},
        {{"-p"}, 2, "tembra-view: option '-p' needs a value\n"},
        {{"-f", "-r"}, 2, "tembra-view: --follow and --reverse cannot go together\n"},
        {{"/var/log/missing.log"}, 2, "tembra-view: /var/log/missing.log: No such file or directory\n"},
    };
    for (const auto &row : rows) {
        Output out = view(row.args);
        SCOPED_TRACE(row.args.empty() ? "(none)" : row.args[0]);
        EXPECT_EQ(out.status, row.status);
        EXPECT_TRUE(out.err.starts_with(row.reason)) << out.err;
        EXPECT_EQ(std::count(out.err.begin(), out.err.end(), '\n'), out.err.empty() ? 0 : 1) << out.err;
    }
    EXPECT_EQ(view({"--version"}).out, "tembra-view 1.0.0\n");
    EXPECT_EQ(view({"--help"}).status, 0);
    bed::remove_log_dir();
    EXPECT_EQ(view({}).status, 1);
}

// lnav, with the format file installed in a private home, reads the levels,
// times and types of a day file.
TEST(LnavFormat, ReadsLevelsTimesAndTypes) {
    bed::reset();
    const std::string home = "/var/log/lnav-home", formats = home + "/.lnav/formats/installed";
    ASSERT_EQ(bed::run({"/bin/mkdir", "-p", formats}).status, 0);
    ASSERT_EQ(bed::run({"/bin/cp", std::string(TEMBRA_SOURCE_DIR) + "/packaging/lnav/tembra_log.json", formats}).status, 0);
    const struct {
        std::string line;
        const char *csv;
    } rows[] = {
        {rec("ALERT", "2026-12-07 10:00:01", "power lost", "SERVER"), "critical,2026-12-07 10:00:01.000,SERVER"},
        {rec("ERROR", "2026-12-07 10:00:02", "e (x)"), "error,2026-12-07 10:00:02.000,PROGRAM"},
        {rec("WARN", "2026-12-07 10:00:03", "two\nrows", "SERVER"), "warning,2026-12-07 10:00:03.000,SERVER"},
        {rec("INFO", "2026-12-07 10:00:04", ""), "info,2026-12-07 10:00:04.000,PROGRAM"},
        {rec("DEBUG", "2026-12-07 23:59:59", "d"), "debug,2026-12-07 23:59:59.000,PROGRAM"},
    };
    std::string file, want = "log_level,log_time,type\n";
    for (const auto &row : rows) file += row.line, want += std::string(row.csv) + "\n";
    write(kDay1, file);
    const std::vector<std::string> env = {"HOME=" + home, "TZ=UTC", "TERM=dumb"};
    Output check = bed::run({"/usr/bin/lnav", "-C"}, env);
    EXPECT_EQ(check.status, 0) << check.out << check.err;
    Output out = bed::run({"/usr/bin/lnav", "-n", "-c",
                           ";SELECT log_level, log_time, type FROM tembra_log ORDER BY log_line", "-c",
                           ":write-csv-to -", kDay1},
                          env);
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(out.out, want);
}

}  // namespace
