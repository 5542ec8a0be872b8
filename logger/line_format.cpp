// The name tables and the day file's name, written by set-up and read back by
// the reader; pure functions, no I/O.
#include "logger/line_format.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

const char LogLevelText[LOG_LEVEL_COUNT][LOG_NAME_SIZE] = {"INFO", "DEBUG", "WARN", "ERROR", "ALERT"};
const char LogTypeText[LOG_TYPE_COUNT][LOG_NAME_SIZE] = {"PROGRAM", "SERVER"};

// The system logger's level names that are not ours, by the level they map to.
static const struct {
    const char *name;
    int level;
} kSyslogLevels[] = {{"emerg", 4}, {"panic", 4}, {"crit", 4}, {"err", 3}, {"warning", 2}, {"notice", 0}};

// A name of table (any case) or its index as one digit; -1 otherwise.
static int index_of(const char *text, const char (*table)[LOG_NAME_SIZE], int count) {
    if (text[0] >= '0' && text[0] < '0' + count && text[1] == '\0') return text[0] - '0';
    for (int i = 0; i < count; ++i)
        if (strcasecmp(text, table[i]) == 0) return i;
    return -1;
}

int log_level_of(const char *text) {
    int level = index_of(text, LogLevelText, LOG_LEVEL_COUNT);
    for (size_t i = 0; level < 0 && i < sizeof kSyslogLevels / sizeof kSyslogLevels[0]; ++i)
        if (strcasecmp(text, kSyslogLevels[i].name) == 0) level = kSyslogLevels[i].level;
    return level;
}

int log_type_of(const char *text) { return index_of(text, LogTypeText, LOG_TYPE_COUNT); }

static const char kPrefix[] = "tembra-";
#define DATE_DIGITS 8

int log_day_file_name(char *path, size_t size, const char *directory, const struct tm *day) {
    return snprintf(path, size, "%s%s%04d%02d%02d.log", directory, kPrefix, day->tm_year + 1900,
                    day->tm_mon + 1, day->tm_mday);
}

int log_day_file_date(const char *path) {
    const char *slash = strrchr(path, '/');
    const char *name = slash != NULL ? slash + 1 : path;
    size_t prefix = sizeof kPrefix - 1;
    if (strncmp(name, kPrefix, prefix) != 0) return 0;
    int date = 0;
    for (size_t i = 0; i < DATE_DIGITS; ++i) {
        char c = name[prefix + i];
        if (c < '0' || c > '9') return 0;
        date = date * 10 + (c - '0');
    }
    const char *rest = name + prefix + DATE_DIGITS;
    if (strcmp(rest, ".log") != 0 && strcmp(rest, ".log.gz") != 0 && strcmp(rest, ".log.zst") != 0) return 0;
    return date;
}
