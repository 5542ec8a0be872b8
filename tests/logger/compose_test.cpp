// Composition through the real calls: the formatter's rules, the frame of a
// line, out-of-range names, the cut of an over-long line and the timestamp.
#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

#include "fake_clock.h"
#include "logger/compose.h"
#include "logger/logger.h"
#include "testbed.h"

namespace {

std::string compose(int level, int type, const char *format, ...) {
    va_list args;
    va_start(args, format);
    size_t len = Log_Fill_LogLine(level, type, format, args);
    va_end(args);
    std::string line(LogLine, len);
    EXPECT_EQ(std::strlen(LogLine), len) << "LogLine must stay NUL-terminated at its length";
    std::memset(LogLine, 0, sizeof LogLine);
    return line;
}

// The message of an INFO/PROGRAM line: between "[INFO] <stamp> " and " (PROGRAM) \n".
std::string message(const char *format, ...) {
    va_list args;
    va_start(args, format);
    size_t len = Log_Fill_LogLine(LogInfo, LogProgram, format, args);
    va_end(args);
    std::string line(LogLine, len);
    std::memset(LogLine, 0, sizeof LogLine);
    const std::string head = "[INFO] ", tail = " (PROGRAM) \n";
    EXPECT_EQ(line.substr(0, head.size()), head);
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
    return line.substr(head.size() + 20, line.size() - head.size() - 20 - tail.size());
}

struct TzScope {
    explicit TzScope(const char *tz) { set(tz); }
    ~TzScope() { set(nullptr); }
    static void set(const char *tz) {
        tz ? setenv("TZ", tz, 1) : unsetenv("TZ");
        tzset();
        log_time_reset();
    }
};

#define ROW(want, format, ...) {format, message(format __VA_OPT__(, ) __VA_ARGS__), want}

TEST(Formatter, FollowsItsRules) {
    const struct {
        const char *format;
        std::string got;
        std::string want;
    } rows[] = {
        ROW("a42b", "a%db", 42),
        ROW("a-7b", "a%db", -7),
        ROW("-2147483648", "%d", INT_MIN),
        ROW("A", "%c", 65),
        ROW("", "%c", 0),
        ROW("one and two", "%s and %s", "one", "two"),
        ROW("100", "100%"),
        ROW("50 7one", "50% done", 7),
        ROW("3", "%%d", 3),
        ROW("542", "%5d", 42),
        ROW("l42", "%ld", 42),
        ROW("-3ab", "%-3s", "ab"),
        ROW("xyz", "x%yz"),
        ROW("cds", "cds"),
        ROW("", ""),
        ROW("(null)", "%s", static_cast<const char *>(nullptr)),
        ROW("D%", "%s", "D%"),
        ROW("x1Cy2", "x%d%Cy%c", 1, '2'),
        ROW("caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 %s", "\xe2\x82\xac"),
    };
    for (const auto &row : rows) EXPECT_EQ(row.got, row.want) << "format: " << row.format;
}

TEST(Line, FrameAndLengthForEveryLevelAndType) {
    const std::string levels[] = {"INFO", "DEBUG", "WARN", "ERROR", "ALERT"};
    const std::string types[] = {"PROGRAM", "SERVER"};
    for (int level = 0; level < 5; ++level) {
        for (int type = 0; type < 2; ++type) {
            std::string line = compose(level, type, "hello %s", "world");
            EXPECT_TRUE(std::regex_match(
                line, std::regex(bed::line_pattern(levels[level], types[type], "hello world"))))
                << line;
            EXPECT_EQ(line.size(), levels[level].size() + types[type].size() + 11 + 28);
        }
    }
}

TEST(Line, EmptyFormatAndTrailingNewline) {
    std::string empty = compose(LogInfo, LogProgram, "");
    EXPECT_EQ(empty.size(), 39u);
    EXPECT_EQ(empty.substr(26), "  (PROGRAM) \n");

    std::string broken = compose(LogInfo, LogProgram, "two rows\n");
    EXPECT_EQ(broken.substr(broken.size() - 22), " two rows\n (PROGRAM) \n");
}

TEST(Line, OutOfRangeLevelOrTypeIsWrittenAsANumber) {
    const struct {
        int level, type;
        const char *head, *tail;
    } rows[] = {
        {7, 0, "[7] ", " (PROGRAM) \n"},
        {-1, -1, "[-1] ", " (-1) \n"},
        {5, 2, "[5] ", " (2) \n"},
        {INT_MIN, INT_MAX, "[-2147483648] ", " (2147483647) \n"},
    };
    for (const auto &row : rows) {
        std::string line = compose(row.level, row.type, "m");
        EXPECT_EQ(line.substr(0, std::strlen(row.head)), row.head);
        EXPECT_EQ(line.substr(line.size() - std::strlen(row.tail)), row.tail);
    }
}

TEST(Line, OverlongLineIsCutToFitWithItsEnding) {
    const std::string big(20000, 'x');
    const std::string format_only(10000, 'f');
    const struct {
        const char *what;
        std::string line;
        const char *tail;
        char filler;
    } rows[] = {
        {"long %s", compose(LogWarn, LogServer, "%s", big.c_str()), " (SERVER) \n", 'x'},
        {"long format", compose(LogWarn, LogServer, format_only.c_str()), " (SERVER) \n", 'f'},
        {"long %s, numeric type", compose(INT_MIN, INT_MIN, "%s", big.c_str()),
         " (-2147483648) \n", 'x'},
        {"text after the cut", compose(LogWarn, LogProgram, "%s%d%s", big.c_str(), 5, "z"),
         " (PROGRAM) \n", 'x'},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(row.line.size(), LOG_LINE_SIZE - 1u);
        std::string tail = row.tail;
        EXPECT_EQ(row.line.substr(row.line.size() - tail.size()), tail);
        std::string msg = row.line.substr(row.line.find(' ', row.line.find(':')) + 1);
        msg.resize(msg.size() - tail.size());
        EXPECT_EQ(msg, std::string(msg.size(), row.filler));
    }
    // A line that just fits is not cut.
    std::string fits(LOG_LINE_SIZE - 1 - 28 - 4 - 6, 'y');
    EXPECT_EQ(compose(LogWarn, LogServer, "%s", fits.c_str()).find(fits + " (SERVER) \n"),
              27u);
}

TEST(Timestamp, IsLocalTimeAndFollowsTheSecond) {
    fake_clock::Scope clock;
    TzScope tz("XXX-05:30");
    const time_t t = 1700000000;
    for (time_t s : {t, t, t + 1, t + 86399}) {
        fake_clock::now = s;
        char stamp[LOG_TIME_SIZE];
        Log_Time(stamp);
        EXPECT_EQ(stamp, bed::utc_text(s + 5 * 3600 + 30 * 60, "%Y-%m-%d %H:%M:%S"));
    }
    fake_clock::now = t;
    std::string line = compose(LogInfo, LogProgram, "m");
    EXPECT_EQ(line.substr(7, 19), bed::utc_text(t + 19800, "%Y-%m-%d %H:%M:%S"));

    // A new zone takes effect at the next set-up, even within the same second.
    TzScope::set("XXX+10");
    char stamp[LOG_TIME_SIZE];
    Log_Time(stamp);
    EXPECT_EQ(stamp, bed::utc_text(t - 36000, "%Y-%m-%d %H:%M:%S"));
}

TEST(Timestamp, ClockFailureIsReportedAndTheLineStillComposed) {
    // Without a log file the report goes to standard error.
    bed::Output no_file = bed::in_child([] {
        fake_clock::fail = true;
        logfile = nullptr;
        std::string line = compose(LogInfo, LogProgram, "still here");
        std::fputs(line.c_str(), stdout);
        return 0;
    });
    EXPECT_EQ(no_file.err, "Log_Time:gettimeofday() error\n");
    EXPECT_EQ(no_file.out.size(), 39u + 10u);
    EXPECT_NE(no_file.out.find(" still here (PROGRAM) \n"), std::string::npos);

    // With one, it goes to the file and nowhere else.
    const std::string path = bed::kDir + "clock.log";
    bed::Output with_file = bed::in_child([&] {
        logfile = std::fopen(path.c_str(), "a");
        fake_clock::fail = true;
        compose(LogInfo, LogProgram, "m");
        return 0;
    });
    EXPECT_EQ(with_file.err, "");
    EXPECT_EQ(bed::read_file(path), "Log_Time:gettimeofday() error\n");
}

}  // namespace
