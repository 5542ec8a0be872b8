// Line composition: the frame of a line, the timestamp and
// the small %c/%d/%s formatter, all writing in place into LogLine.
#include "logger/compose.h"

#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

#include "logger/logger.h"

char LogLine[LOG_LINE_SIZE];

// Where composition stands in LogLine: the end of the text, and how far it may
// grow. The message may only grow up to the room left for the type part and
// the line's ending.
static struct {
    size_t end;
    size_t limit;
} cursor = {0, LOG_LINE_SIZE - 1};

// The text of the last second formatted, reused while the second lasts.
static struct {
    time_t second;
    char text[LOG_TIME_SIZE];
} stamp_cache = {-1, {0}};

static void append(const char *text, size_t len) {
    size_t room = cursor.limit > cursor.end ? cursor.limit - cursor.end : 0;
    if (len > room) len = room;
    memcpy(LogLine + cursor.end, text, len);
    cursor.end += len;
    LogLine[cursor.end] = '\0';
}

static void append_str(const char *text) { append(text, strnlen(text, LOG_LINE_SIZE)); }

size_t log_decimal(char *buf, long value) {
    char digits[LOG_DECIMAL_SIZE];
    size_t n = 0;
    unsigned long magnitude = value < 0 ? 0ul - (unsigned long)value : (unsigned long)value;
    do {
        digits[n++] = (char)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    size_t len = 0;
    if (value < 0) buf[len++] = '-';
    while (n > 0) buf[len++] = digits[--n];
    buf[len] = '\0';
    return len;
}

// A table entry, or the number itself when the index lies outside the table.
static const char *name_of(const char (*table)[LOG_NAME_SIZE], int count, int index,
                           char *scratch) {
    if (index >= 0 && index < count) return table[index];
    log_decimal(scratch, index);
    return scratch;
}

void log_time_reset(void) { stamp_cache.second = -1; }

void Log_Time(char *buf) {
    struct timeval now = {0, 0};
    if (gettimeofday(&now, NULL) != 0) {
        fprintf(logfile ? logfile : stderr, "%s:gettimeofday() error\n", "Log_Time");
    }
    if (now.tv_sec != stamp_cache.second) {
        struct tm local;
        memset(stamp_cache.text, 0, sizeof stamp_cache.text);
        if (localtime_r(&now.tv_sec, &local) != NULL) {
            strftime(stamp_cache.text, LOG_TIME_SIZE, LOG_TIME_LAYOUT, &local);
        }
        stamp_cache.second = now.tv_sec;
    }
    memcpy(buf, stamp_cache.text, LOG_TIME_SIZE);
}

void Log_Print(const char *format, va_list args) {
    cursor.end = strnlen(LogLine, LOG_LINE_SIZE - 1);
    char scratch[LOG_DECIMAL_SIZE];
    bool pending = false;
    const char *p = format;
    while (*p != '\0') {
        // Copy the run of bytes that no rule but the plain copy applies to.
        size_t run = pending ? strcspn(p, "%cds") : strcspn(p, "%");
        if (run > 0) {
            append(p, run);
            p += run;
            continue;
        }
        char byte = *p++;
        if (byte == '%') {
            pending = true;
        } else if (byte == 'c') {
            scratch[0] = (char)va_arg(args, int);
            append(scratch, scratch[0] != '\0' ? 1 : 0);
            pending = false;
        } else if (byte == 'd') {
            append(scratch, log_decimal(scratch, va_arg(args, int)));
            pending = false;
        } else {
            const char *text = va_arg(args, const char *);
            // Only the bytes that can still fit are looked at.
            size_t room = cursor.limit > cursor.end ? cursor.limit - cursor.end : 0;
            if (text == NULL) text = "(null)";
            append(text, strnlen(text, room));
            pending = false;
        }
    }
}

size_t Log_Fill_LogLine(int level, int type, const char *format, va_list args) {
    char level_scratch[LOG_DECIMAL_SIZE], type_scratch[LOG_DECIMAL_SIZE];
    const char *level_name = name_of(LogLevelText, LOG_LEVEL_COUNT, level, level_scratch);
    const char *type_name = name_of(LogTypeText, LOG_TYPE_COUNT, type, type_scratch);
    size_t tail = strlen(" (") + strlen(type_name) + strlen(") \n");

    cursor.end = 0;
    cursor.limit = LOG_LINE_SIZE - 1;
    LogLine[0] = '\0';
    append("[", 1);
    append_str(level_name);
    append("] ", 2);
    char stamp[LOG_TIME_SIZE];  // Log_Time fills all of it, zeros included
    Log_Time(stamp);
    append_str(stamp);
    append(" ", 1);

    cursor.limit = LOG_LINE_SIZE - 1 - tail;
    Log_Print(format, args);
    cursor.limit = LOG_LINE_SIZE - 1;

    append(" (", 2);
    append_str(type_name);
    append(") \n", 3);
    return cursor.end;
}

size_t log_fill(int level, int type, const char *format, ...) {
    va_list args;
    va_start(args, format);
    size_t len = Log_Fill_LogLine(level, type, format, args);
    va_end(args);
    return len;
}
