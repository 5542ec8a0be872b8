// The day file's name, written and read back, as pure functions: no clock, no files.
#include <gtest/gtest.h>

#include <string>

#include "logger/line_format.h"

namespace {

TEST(DayFileName, IsWrittenFromTheDateAndReadBack) {
    struct Row {
        int year, month, day;
        const char *name;
    } rows[] = {
        {2026, 12, 8, "/var/log/Tembra/tembra-20261208.log"},
        {1999, 1, 1, "/var/log/Tembra/tembra-19990101.log"},
        {2000, 2, 29, "/var/log/Tembra/tembra-20000229.log"},
        {2038, 1, 19, "/var/log/Tembra/tembra-20380119.log"},
    };
    for (const Row &row : rows) {
        tm day{};
        day.tm_year = row.year - 1900, day.tm_mon = row.month - 1, day.tm_mday = row.day;
        char path[LOG_PATH_SIZE];
        int length = log_day_file_name(path, sizeof path, LOG_DIRECTORY, &day);
        EXPECT_STREQ(path, row.name);
        EXPECT_EQ(length, (int)std::string(row.name).size());
        EXPECT_EQ(log_day_file_date(path), row.year * 10000 + row.month * 100 + row.day) << row.name;
    }
}

TEST(DayFileName, OnlyDayFilesHaveADate) {
    struct Row {
        const char *name;
        int date;
    } rows[] = {
        {"tembra-20261208.log", 20261208},        {"tembra-20261208.log.gz", 20261208},
        {"/x/y/tembra-20261208.log.zst", 20261208}, {"tembra-20261208.log.bz2", 0},
        {"tembra-2026128.log", 0},                {"tembra-2026120a.log", 0},
        {"tembra-20261208.logx", 0},              {"other-20261208.log", 0},
        {"tembra-.log", 0},                       {"", 0},
    };
    for (const Row &row : rows) EXPECT_EQ(log_day_file_date(row.name), row.date) << row.name;
}

TEST(Names, LevelsAndTypesAreReadInEveryForm) {
    struct Row {
        const char *text;
        int level, type;
    } rows[] = {
        {"INFO", 0, -1},  {"debug", 1, -1},  {"Warn", 2, -1},    {"ERROR", 3, -1}, {"alert", 4, -1},
        {"4", 4, -1},     {"0", 0, 0},       {"1", 1, 1},        {"5", -1, -1},    {"emerg", 4, -1},
        {"panic", 4, -1}, {"crit", 4, -1},   {"err", 3, -1},     {"warning", 2, -1}, {"notice", 0, -1},
        {"PROGRAM", -1, 0}, {"server", -1, 1}, {"", -1, -1},     {"10", -1, -1},   {"INFOX", -1, -1},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(log_level_of(row.text), row.level) << row.text;
        EXPECT_EQ(log_type_of(row.text), row.type) << row.text;
    }
}

}  // namespace
