// tembra-view on day files in the private log directory: merge order,
// filters, the outputs, escaping, colour and paging, following, bad and
// damaged files, the summary, exit status.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#ifdef TEMBRA_ZSTD
#include <zstd.h>
#endif

#include <algorithm>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "shared_data.h"
#include "testbed.h"

namespace {

using bed::Output;

const std::string kDay1 = bed::kDir + "tembra-20261207.log";
const std::string kDay2 = bed::kDir + "tembra-20261208.log";

Output view(std::vector<std::string> args, const std::vector<std::string> &env = {}) {
    args.insert(args.begin(), "tembra-view");
    return bed::run(args, env);
}

// Two days as one drain writes them: each batch highest level first.
void write_two_days() {
    bed::write_bytes(kDay1, bed::record("ALERT", "2026-12-07 10:00:03", "a3", "SERVER") + bed::record("WARN", "2026-12-07 10:00:01", "w1") +
                     bed::record("WARN", "2026-12-07 10:00:04", "w4", "SERVER") + bed::record("INFO", "2026-12-07 10:00:01", "i1") +
                     bed::record("INFO", "2026-12-07 10:00:02", "i2\nsecond row") + "not a record\n" +
                     bed::record("ERROR", "2026-12-07 23:59:59", "e5") + bed::record("DEBUG", "2026-12-07 10:00:06", "d6"));
    bed::write_gz(kDay2 + ".gz", bed::record("INFO", "2026-12-07 23:59:59", "late") + bed::record("DEBUG", "2026-12-08 00:00:01", "d7"));
}

// "m7" for ("m", 7), built in steps: GCC 12 warns falsely on "m" + std::to_string(n).
std::string tagged(const char *prefix, int n) {
    std::string text = prefix;
    text += std::to_string(n);
    return text;
}

// Output lines joined by blanks, with a record's second row kept to it.
std::string joined(const std::string &out) {
    std::string got;
    for (size_t at = 0, nl; (nl = out.find('\n', at)) != std::string::npos; at = nl + 1)
        got.append(got.empty() ? "" : " ").append(out, at, nl - at);
    for (size_t at; (at = got.find("i2 second")) != std::string::npos;) got.replace(at, 3, "i2\n");
    return got;
}

class View : public bed::Test {
  protected:
    void SetUp() override {
        bed::Test::SetUp();
        write_two_days();
    }
};

TEST_F(View, MergesLevelsAndFilesInTimeOrder) {
    const struct {
        const char *what;
        std::function<void()> change;
    } rows[] = {
        {"as written", [] {}},
        // The same day as .log and .log.gz (or .zst) is one day, shown once.
        {"a day in two forms", [] { bed::write_gz(kDay1 + ".gz", bed::read_file(kDay1)); }},
        {"a plain file and its compressed copy",
         [] { bed::write_bytes(kDay2, bed::record("INFO", "2026-12-07 23:59:59", "late") + bed::record("DEBUG", "2026-12-08 00:00:01", "d7")); }},
    };
    for (const auto &row : rows) {
        row.change();
        Output out = view({"-o", "cat"});
        EXPECT_EQ(out.status, 0) << row.what << out.err;
        // Equal times keep file order: w1 before i1, e5 before late.
        EXPECT_EQ(out.out, "w1\ni1\ni2\nsecond row\nnot a record\na3\nw4\nd6\ne5\nlate\nd7\n") << row.what;
    }
    // The same when the files are given by name, and "short" drops only the blank before the newline.
    Output named = view({kDay1, kDay2 + ".gz"});
    EXPECT_NE(named.out.find("[WARN] 2026-12-07 10:00:01 w1 (PROGRAM)\n[INFO] 2026-12-07 10:00:01 i1 (PROGRAM)\n"
                             "[INFO] 2026-12-07 10:00:02 i2\nsecond row (PROGRAM)\nnot a record\n"),
              std::string::npos)
        << named.out;
    // -n and -f need only the files' ends: the last records of a large file, in time order.
    std::string big;
    for (int i = 0; i < 40000; ++i)
        big += bed::record(i % 3 ? "INFO" : "WARN", i < 20000 ? "2026-12-08 09:00:00" : "2026-12-08 10:00:00",
                   tagged("m", i) + std::string(40, '.'));
    unlink((kDay2 + ".gz").c_str());
    bed::write_bytes(kDay2, big + bed::record("ALERT", "2026-12-08 09:59:59", "late alert"));
    Output all = view({"-o", "cat", "-n", "all"}), last = view({"-o", "cat", "-n", "5"});
    ASSERT_GT(all.out.size(), 2000u);
    size_t from = all.out.size();
    for (int n = 0; n < 5; ++n) from = all.out.rfind('\n', from - 2);
    EXPECT_EQ(last.out, all.out.substr(from + 1));
}

TEST_F(View, Filters) {
    const std::string nul("nul\0after", 9);
    const struct {
        std::vector<std::string> args;
        const char *want;
        std::string add = "";                // appended to the first day's file for this row
        std::vector<std::string> env = {};
    } rows[] = {
        {{"-p", "warn"}, "w1 a3 w4 e5"},
        {{"--priority", "ERROR"}, "a3 e5"},
        {{"-p", "1"}, "w1 a3 w4 d6 e5 d7"},
        {{"-p", "info..debug"}, "i1 i2\nsecond row d6 late d7"},
        {{"-p", "alert..warn"}, "w1 a3 w4 e5"},
        // The system logger's names: err, warning, crit/emerg/panic (ALERT), notice (INFO).
        {{"-p", "err"}, "a3 e5"},
        {{"-p", "warning"}, "w1 a3 w4 e5"},
        {{"-p", "crit"}, "a3"},
        {{"-p", "emerg..err"}, "a3 e5"},
        {{"-p", "err..notice"}, "w1 i1 i2\nsecond row w4 d6 e5 late d7"},
        {{"-t", "server"}, "a3 w4"},
        {{"-S", "2026-12-07 10:00:04", "-U", "2026-12-07 23:59:59"}, "w4 d6 e5 late"},
        {{"-S", "2026-12-08"}, "d7"},
        {{"-S", "2026-12-07 10:00", "-U", "2026-12-07T10:00:02"}, "w1 i1 i2\nsecond row not a record"},
        {{"-S", "@1796687999"}, "e5 late d7", "", {"TZ=UTC"}},
        {{"-U", "2026-12-07T11:00:01+02:00"}, "w1 i1", "", {"TZ=CET-1"}},
        {{"-U", "2026-12-07T09:00:01Z"}, "w1 i1", "", {"TZ=CET-1"}},
        {{"-U", "2026-12-07 09:00:01", "--utc"}, "w1 i1", "", {"TZ=CET-1"}},
        {{"-S", "-1h30min", "-U", "+1h"}, ""},
        {{"-S", "1000 weeks ago", "-U", "+2d"}, "w1 i1 i2\nsecond row not a record a3 w4 d6 e5 late d7"},
        {{"-g", "^[ie]"}, "i1 i2\nsecond row e5"},
        {{"-g", "ROW|W"}, ""},
        {{"-g", "row|w"}, "w1 i2\nsecond row w4"},
        {{"-g", "after"}, "nul\\x00after", bed::record("INFO", "2026-12-07 10:00:05", nul)},
        {{"-n", "2"}, "late d7"},
        {{"--lines=3"}, "e5 late d7"},
        {{"-n"}, "i1 i2\nsecond row not a record a3 w4 d6 e5 late d7 x8", bed::record("INFO", "2026-12-08 00:00:02", "x8")},
        {{"-r", "-p", "warn"}, "e5 w4 a3 w1"},
        {{"-r", "-n", "3"}, "d7 late e5"},
        {{"-n", "0"}, ""},
    };
    for (const auto &row : rows) {
        write_two_days();
        bed::write_bytes(kDay1, row.add, true);
        std::vector<std::string> args = row.args;
        args.insert(args.end(), {"-o", "cat"});
        Output out = view(args, row.env);
        SCOPED_TRACE(args[0] + " " + args[1]);
        EXPECT_EQ(joined(out.out), row.want);
        EXPECT_EQ(out.status, *row.want ? 0 : 1) << out.err;
    }
}

TEST_F(View, OutputsEscapedForTerminalsAndJson) {
    bed::write_bytes(kDay1, bed::record("WARN", "2026-12-07 10:00:01",
                     "q\"uote\\ tab\t bell\a esc\x1b[31m nl\n end \xff \xc3\xa9 c1 \xc2\x9b" "2J raw \x9b bidi \xe2\x80\xae",
                     "SERVER") +
                     "raw \x1b]0;title\x07 line\n" + bed::record("7", "2026-12-07 10:00:02", "odd", "9"));
    unlink((kDay2 + ".gz").c_str());
    const std::string file = "\",\"file\":\"" + kDay1 + "\"}\n";
    const std::string message_json = "q\\\"uote\\\\ tab\\t bell\\u0007 esc\\u001b[31m nl\\n end \\u00ff \xc3\xa9 c1 "
                                     "\\u009b2J raw \\u009b bidi \\u202e";
    const std::string message_short = "q\"uote\\ tab\t bell\\x07 esc\\x1b[31m nl\n end \xff \xc3\xa9 c1 \\xc2\\x9b"
                                      "2J raw \\x9b bidi \\xe2\\x80\\xae";
    const struct {
        std::vector<std::string> args;
        std::string want;
    } rows[] = {
        {{"-o", "json"},
         "{\"record\":true,\"level\":\"WARN\",\"priority\":2,\"time\":\"2026-12-07T10:00:01+01:00\",\"type\":\"SERVER\","
         "\"message\":\"" + message_json + file +
             "{\"record\":false,\"line\":\"raw \\u001b]0;title\\u0007 line" + file +
             "{\"record\":true,\"level\":\"7\",\"priority\":7,\"time\":\"2026-12-07T10:00:02+01:00\","
             "\"type\":\"9\",\"message\":\"odd" + file},
        {{"-o", "short"},
         "[WARN] 2026-12-07 10:00:01 " + message_short + " (SERVER)\nraw \\x1b]0;title\\x07 line\n"
         "[7] 2026-12-07 10:00:02 odd (9)\n"},
        {{"-o", "cat"}, message_short + "\nraw \\x1b]0;title\\x07 line\nodd\n"},
        {{"-o", "short-iso", "-p", "0..4"}, "[WARN] 2026-12-07T10:00:01+01:00 " + message_short + " (SERVER)\n"},
        {{"-o", "short", "--utc", "-g", "odd"}, "[7] 2026-12-07 09:00:02 odd (9)\n"},
        {{"-o", "short-iso", "--utc", "-g", "odd"}, "[7] 2026-12-07T09:00:02Z odd (9)\n"},
        {{"-o", "json-pretty", "--utc", "-g", "odd"},
         "{\n\t\"record\" : true,\n\t\"level\" : \"7\",\n\t\"priority\" : 7,\n\t\"time\" : \"2026-12-07T09:00:02Z\",\n"
         "\t\"type\" : \"9\",\n\t\"message\" : \"odd\",\n\t\"file\" : \"" + kDay1 + "\"\n}\n"},
    };
    for (const auto &row : rows) {
        Output out = view(row.args, {"TZ=CET-1"});
        EXPECT_EQ(out.status, 0);
        EXPECT_EQ(out.out, row.want) << row.args[1];
    }
}

// Stamps are local time without an offset: in the hour that repeats when
// summer time ends, the records' order in their file tells the passes apart.
TEST_F(View, TimesAcrossSummerTimeChanges) {
    bed::reset();
    // As a drain writes them: each batch highest level first.
    const std::string autumn = bed::record("WARN", "2026-10-25 02:10:00", "w-first") +
                               bed::record("INFO", "2026-10-25 02:30:00", "i-first") +
                               bed::record("ALERT", "2026-10-25 02:05:00", "a-second") +
                               bed::record("INFO", "2026-10-25 02:20:00", "i-second") + bed::record("INFO", "2026-10-25 03:00:00", "after");
    bed::write_bytes(bed::kDir + "tembra-20261025.log", autumn);
    bed::write_bytes(bed::kDir + "tembra-20260329.log",
          bed::record("INFO", "2026-03-29 01:59:59", "before") + bed::record("INFO", "2026-03-29 03:00:00", "summer"));
    const struct {
        std::vector<std::string> args;
        const char *want;
    } rows[] = {
        {{"-o", "cat"}, "before summer w-first i-first a-second i-second after"},
        {{"-o", "short-iso", "-p", "alert"}, "[ALERT] 2026-10-25T02:05:00+01:00 a-second (PROGRAM)"},
        {{"-o", "short-iso", "-g", "before|summer|first"},
         "[INFO] 2026-03-29T01:59:59+01:00 before (PROGRAM) [INFO] 2026-03-29T03:00:00+02:00 summer (PROGRAM) "
         "[WARN] 2026-10-25T02:10:00+02:00 w-first (PROGRAM) [INFO] 2026-10-25T02:30:00+02:00 i-first (PROGRAM)"},
        {{"-o", "cat", "-S", "2026-10-25T01:00:00Z"}, "a-second i-second after"},
        {{"-o", "cat", "-U", "2026-10-25T00:59:59Z", "-S", "2026-10-01"}, "w-first i-first"},
        {{"-o", "cat", "-r"}, "after i-second a-second i-first w-first summer before"},
    };
    const std::string zone = "TZ=CET-1CEST,M3.5.0,M10.5.0/3";
    for (const auto &row : rows) {
        Output out = view(row.args, {zone});
        EXPECT_EQ(joined(out.out), row.want) << row.args[2];
    }
    // While following, records of a past repeated hour are told apart by
    // their order as they arrive (a record just written, by the clock too).
    const std::string live = "/var/log/live.log";
    bed::write_bytes(live, "");
    bed::Background follow = bed::start({"tembra-view", "-f", "-o", "short-iso", "-p", "info..warn", live}, {zone});
    usleep(300000);
    bed::write_bytes(live, autumn, true);
    fcntl(follow.out, F_SETFL, O_NONBLOCK);
    std::string seen;
    bed::wait_for([&] {
        char buf[4096];
        for (ssize_t n; (n = read(follow.out, buf, sizeof buf)) > 0;) seen.append(buf, (size_t)n);
        return seen.find("after") != std::string::npos;
    }, 8000);
    bed::finish(follow, SIGTERM);
    EXPECT_EQ(seen, "[WARN] 2026-10-25T02:10:00+02:00 w-first (PROGRAM)\n"
                    "[INFO] 2026-10-25T02:30:00+02:00 i-first (PROGRAM)\n"
                    "[INFO] 2026-10-25T02:20:00+01:00 i-second (PROGRAM)\n"
                    "[INFO] 2026-10-25T03:00:00+01:00 after (PROGRAM)\n");
}

TEST_F(View, ColoursAndPagerOnlyWhereTheyWork) {
    if (!bed::can_open_pty()) GTEST_SKIP() << bed::kNoPty;
    const std::string pager_log = "/var/log/paged", less = "/var/log/bin/less";
    ASSERT_EQ(bed::run({"/bin/mkdir", "-p", "/var/log/bin"}).status, 0);
    // A stand-in for less that keeps what it was given.
    bed::write_bytes(less, "#!/bin/sh\necho \"LESS=$LESS args=$*\" > " + pager_log + ".how\ncat > " + pager_log + "\n");
    chmod(less.c_str(), 0755);
    const struct {
        std::string env;
        const char *rows, *args;
        bool colour, paged;
        const char *how, *note;
    } rows[] = {
        {"TERM=xterm", "50", "", true, false, "", ""},
        {"TERM=xterm NO_COLOR=1", "50", "", false, false, "", ""},
        {"TERM=dumb", "50", "", false, false, "", ""},
        {"", "50", "", false, false, "", ""},
        {"TERM=xterm PAGER=" + less, "4", "", true, true, "LESS= -R args=\n", ""},
        {"TERM=xterm LESS=S PAGER=" + less, "4", "-e", true, true, "LESS=S -R args=+G\n", ""},
        {"TERM=xterm NO_COLOR=1 PAGER=" + less, "4", "", false, true, "LESS= -R args=\n", ""},
        {"TERM=xterm PAGER='cat > " + pager_log + "'", "4", "", false, true, "", ""},
        {"TERM=xterm PAGER=/nonexistent/pager", "4", "", true, false, "",
         "tembra-view: the pager '/nonexistent/pager' cannot be started; showing the output directly"},
        {"TERM=xterm PAGER=/nonexistent/pager", "4", "--no-pager", true, false, "", ""},
    };
    for (const auto &row : rows) {
        unlink(pager_log.c_str());
        unlink((pager_log + ".how").c_str());
        // script(1) gives tembra-view a terminal of the given height.
        std::string command = "stty rows " + std::string(row.rows) + " cols 80; env -u TERM -u LESS " + row.env + " " +
                              bed::bin("tembra-view") + " -p warn " + row.args + " 2>&1";
        Output out = bed::run({"/usr/bin/script", "-qec", command, "/dev/null"});
        std::string shown = out.out + bed::read_file(pager_log);
        SCOPED_TRACE(row.env + " rows " + row.rows + " " + row.args);
        EXPECT_EQ(out.status, 0);
        EXPECT_EQ(shown.find("\x1b[33m[WARN]\x1b[0m 2026-12-07 10:00:01 w1") != std::string::npos, row.colour) << shown;
        EXPECT_NE(shown.find("e5 (PROGRAM)"), std::string::npos);
        EXPECT_EQ(!bed::read_file(pager_log).empty(), row.paged);
        EXPECT_EQ(bed::read_file(pager_log + ".how"), row.how);
        EXPECT_NE(out.out.find(row.note), std::string::npos);
        EXPECT_EQ(out.out.find("cannot be started") != std::string::npos, *row.note != 0);
    }
    // Not a terminal: no colour whatever the environment, and no pager.
    Output piped = view({"-p", "warn"}, {"PAGER=false", "TERM=xterm"});
    EXPECT_EQ(piped.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(piped.status, 0);
}

// Following: the day that is today by the clock, whatever other names exist,
// or only the files named.
TEST_F(View, FollowsTodayOrTheFilesNamed) {
    const std::string yesterday = bed::day_path(-1), today = bed::day_path(0), future = bed::kDir + "tembra-20991231.log";
    const std::string other = bed::kDir + "other.log";
    unlink(kDay1.c_str());
    unlink((kDay2 + ".gz").c_str());
    bed::write_bytes(yesterday, bed::record("INFO", "2026-12-07 23:59:58", "y0") + bed::record("ERROR", "2026-12-07 23:59:59", "y1"));
    bed::write_bytes(other, bed::record("INFO", "2026-12-07 23:59:59", "o1"));
    bed::Background follow = bed::start({"tembra-view", "-f", "-n", "1", "-o", "cat"});
    bed::Background named = bed::start({"tembra-view", "-f", "-n", "1", "-o", "cat", other});
    std::string seen, seen_named;
    auto shows = [](bed::Background &running, std::string &text, const std::string &end) {
        fcntl(running.out, F_SETFL, O_NONBLOCK);
        return bed::wait_for([&] {
            char buf[4096];
            for (ssize_t n; (n = read(running.out, buf, sizeof buf)) > 0;) text.append(buf, (size_t)n);
            return text.ends_with(end);
        }, 8000);
    };
    const struct {
        const char *what;
        std::function<void()> step;
        const char *shown;
    } steps[] = {
        {"the last record so far", [] {}, "y1\n"},
        {"appended", [&] { bed::write_bytes(yesterday, bed::record("INFO", "2026-12-07 23:59:59", "f1"), true); }, "f1\n"},
        {"replaced",
         [&] {
             bed::write_bytes(yesterday + ".new", bed::record("INFO", "2026-12-07 23:59:59", "f2"));
             rename((yesterday + ".new").c_str(), yesterday.c_str());
         },
         "f2\n"},
        {"a file dated after today", [&] { bed::write_bytes(future, bed::record("INFO", "2099-12-31 00:00:00", "never")); }, "f2\n"},
        {"today", [&] { bed::write_bytes(today, bed::record("INFO", "2026-12-08 00:00:00", "f3")); }, "f3\n"},
        {"today grows", [&] { bed::write_bytes(today, bed::record("WARN", "2026-12-08 00:00:01", "f4"), true); }, "f4\n"},
    };
    for (const auto &s : steps) {
        s.step();
        EXPECT_TRUE(shows(follow, seen, s.shown)) << s.what << ": " << seen;
    }
    bed::write_bytes(other, bed::record("INFO", "2026-12-08 00:00:02", "o2"), true);
    EXPECT_TRUE(shows(named, seen_named, "o2\n")) << seen_named;
    Output rest = bed::finish(follow, SIGTERM), rest_named = bed::finish(named, SIGTERM);
    EXPECT_EQ(rest.status, 0);
    EXPECT_EQ(seen + rest.out, "y1\nf1\nf2\nf3\nf4\n");
    EXPECT_EQ(seen_named + rest_named.out, "o1\no2\n");
}

// A file that cannot be read whole is named once on standard error, with
// what was wrong; the rest is shown, and the exit status says so.
TEST_F(View, ReportsEachBadFileOnceAndShowsTheRest) {
    const std::string day3 = bed::kDir + "tembra-20261209.log";
    std::string many;
    for (int i = 0; i < 3000; ++i) many += bed::record("INFO", "2026-12-09 10:00:00", tagged("r", i) + std::string(i % 50, 'x'));
    const std::string gz = day3 + ".gz";
    auto cut_gz = [&](bool middle) {
        bed::write_gz(gz, many);
        std::string bytes = bed::read_file(gz);
        if (middle) bytes[bytes.size() / 2] ^= 0x55;
        bed::write_bytes(gz, middle ? bytes : bytes.substr(0, bytes.size() / 2));
    };
    const struct {
        const char *what;
        std::function<void()> make;
        std::vector<std::string> args;
        const char *note;  // "" for none
        bool shows_day3;   // some of day 3's records are shown
    } rows[] = {
        {"a FIFO", [&] { mkfifo(day3.c_str(), 0644); }, {}, ": not a regular file", false},
        {"a directory", [&] { mkdir(day3.c_str(), 0755); }, {}, ": a directory, not a day file", false},
        {"a symlink", [&] { symlink(kDay1.c_str(), day3.c_str()); }, {}, ": a symbolic link at a day file's name", false},
        {"quiet", [&] { mkfifo(day3.c_str(), 0644); }, {"-q"}, "", false},
        {"a .gz cut off", [&] { cut_gz(false); }, {}, ": damaged: the compressed data stops short", true},
        {"a .gz damaged inside", [&] { cut_gz(true); }, {}, ": damaged: ", true},
#ifdef TEMBRA_ZSTD
        {"a .zst cut off",
         [&] {
             std::string packed(ZSTD_compressBound(many.size()), '\0');
             packed.resize(ZSTD_compress(packed.data(), packed.size(), many.data(), many.size(), 3));
             bed::write_bytes(day3 + ".zst", packed.substr(0, packed.size() / 2));
         },
         {}, ": damaged: the compressed data stops short", true},
#endif
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        for (const char *end : {"", ".gz", ".zst"}) unlink((day3 + end).c_str());
        rmdir(day3.c_str());
        row.make();
        std::vector<std::string> args = row.args;
        args.insert(args.end(), {"-o", "cat"});
        Output out = view(args);
        EXPECT_EQ(out.status, 3);
        EXPECT_TRUE(out.out.starts_with("w1\ni1\n")) << out.out;
        EXPECT_EQ(out.out.find("r0\n") != std::string::npos, row.shows_day3);
        EXPECT_EQ(std::count(out.err.begin(), out.err.end(), '\n'), *row.note ? 1 : 0) << out.err;
        EXPECT_TRUE(!*row.note || out.err.starts_with("tembra-view: " + bed::kDir + "tembra-20261209.log")) << out.err;
        EXPECT_NE(out.err.find(row.note), std::string::npos) << out.err;
    }
}

TEST_F(View, DescribesTheDayFiles) {
    const struct {
        const char *option;
        std::string want;
    } rows[] = {
        {"--disk-usage", "2 day files take up "},
        {"--header", kDay1 + "  " + std::to_string(bed::read_file(kDay1).size()) + "B  2026-12-07T10:00:01Z .. 2026-12-07T23:59:59Z  ALERT 1  ERROR 1  WARN 2  DEBUG 1  INFO 2  other 1\n" +
                         kDay2 + ".gz  "},
    };
    for (const auto &row : rows) {
        Output out = view({row.option, "--utc"}, {"TZ=UTC"});
        EXPECT_EQ(out.status, 0) << out.err;
        EXPECT_TRUE(out.out.starts_with(row.want)) << out.out;
    }
    EXPECT_NE(view({"--header"}, {"TZ=UTC"}).out.find("INFO 1  other 0\n"), std::string::npos);
}

TEST_F(View, ExitStatusAndReasons) {
    const std::string usage = "; usage: tembra-view [OPTION]... [FILE|DIR]...\n";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string reason;
    } rows[] = {
        {{}, 0, ""},
        {{"-p", "warn", "-t", "server"}, 0, ""},
        {{"-g", "nothing like this"}, 1, ""},
        {{"-S", "tomorrow"}, 1, ""},
        {{"-p", "loud"}, 2, "tembra-view: bad priority 'loud'" + usage},
        {{"-p", "5"}, 2, "tembra-view: bad priority '5'" + usage},
        {{"-t", "client"}, 2, "tembra-view: bad type 'client'" + usage},
        {{"-S", "last week"}, 2, "tembra-view: bad time 'last week'" + usage},
        {{"-S", "2026-02-30"}, 2, "tembra-view: bad time '2026-02-30': day 30 is not in 2026-02" + usage},
        {{"-S", "2026-13-01 10:00"}, 2, "tembra-view: bad time '2026-13-01 10:00': there is no month 13" + usage},
        {{"-U", "2026-12-07 25:00:00"}, 2, "tembra-view: bad time '2026-12-07 25:00:00': no such time of day" + usage},
        {{"-U", "10:60"}, 2, "tembra-view: bad time '10:60': no such time of day" + usage},
        {{"-S", "today", "-U", "yesterday"}, 2, "tembra-view: --since is later than --until" + usage},
        {{"-n", "-3"}, 2, "tembra-view: unknown option '-3'" + usage},
        {{"--lines=x"}, 2, "tembra-view: bad number of lines 'x'" + usage},
        {{"-o", "xml"}, 2, "tembra-view: bad output format 'xml'" + usage},
        {{"-g", "("}, 2, "tembra-view: bad pattern '(': "},
        {{"--bogus"}, 2, "tembra-view: unknown option '--bogus'" + usage},
        {{"-p"}, 2, "tembra-view: option '-p' needs a value" + usage},
        {{"-f", "-r"}, 2, "tembra-view: --follow and --reverse cannot go together" + usage},
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
    // Someone who may read no day file is told, in one line, which group may.
    const std::vector<std::string> as_nobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                                bed::bin("tembra-view")};
    for (const char *mode : {"0640", "0750"}) {
        SCOPED_TRACE(mode);
        for (const std::string &f : {kDay1, kDay2 + ".gz", bed::kDir}) {
            EXPECT_EQ(chown(f.c_str(), 0, 4), 0);
            chmod(f.c_str(), f == bed::kDir ? (std::string(mode) == "0750" ? 0750 : 0755) : 0640);
        }
        Output denied = bed::run(as_nobody);
        EXPECT_EQ(denied.status, 1);
        EXPECT_EQ(denied.err, "tembra-view: you may not read the day files in " + bed::kDir +
                                  ": members of group 'adm' may (or root)\n");
    }
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
        {bed::record("ALERT", "2026-12-07 10:00:01", "power lost", "SERVER"), "critical,2026-12-07 10:00:01.000,SERVER"},
        {bed::record("ERROR", "2026-12-07 10:00:02", "e (x)"), "error,2026-12-07 10:00:02.000,PROGRAM"},
        {bed::record("WARN", "2026-12-07 10:00:03", "two\nrows", "SERVER"), "warning,2026-12-07 10:00:03.000,SERVER"},
        {bed::record("INFO", "2026-12-07 10:00:04", ""), "info,2026-12-07 10:00:04.000,PROGRAM"},
        {bed::record("DEBUG", "2026-12-07 23:59:59", "d"), "debug,2026-12-07 23:59:59.000,PROGRAM"},
    };
    std::string file, want = "log_level,log_time,type\n";
    for (const auto &row : rows) file += row.line, want += std::string(row.csv) + "\n";
    bed::write_bytes(kDay1, file);
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
