/* The facts of a line and of the files it lands in, one place for the logger,
 * the tools and the reader: names and counts, sizes, the queue, the directory
 * and the day file's name. Usable from C and C++. */
#ifndef TEMBRA_LINE_FORMAT_H
#define TEMBRA_LINE_FORMAT_H

#include <stddef.h>
#include <time.h>

#define LOG_LEVEL_COUNT 5 /* INFO DEBUG WARN ERROR ALERT, also the queue priorities 0-4 */
#define LOG_TYPE_COUNT 2  /* PROGRAM SERVER */
#define LOG_PRIORITY_MAX (LOG_LEVEL_COUNT - 1)
#define LOG_NAME_SIZE 10    /* one slot of the name tables, NUL-padded */
#define LOG_LINE_SIZE 8192  /* the line buffer, and the queue's message size */
#define LOG_TIME_SIZE 64    /* the timestamp buffer */
#define LOG_TIME_LAYOUT "%Y-%m-%d %H:%M:%S"
#define LOG_TIME_LENGTH 19  /* what LOG_TIME_LAYOUT always yields */
#define LOG_PATH_SIZE 256
#define LOG_QUEUE_NAME "/mqd"
#define LOG_DIRECTORY "/var/log/Tembra/"

#ifdef __cplusplus
extern "C" {
#endif

extern const char LogLevelText[LOG_LEVEL_COUNT][LOG_NAME_SIZE];
extern const char LogTypeText[LOG_TYPE_COUNT][LOG_NAME_SIZE];

/* The level named by text: ours in any case, a digit 0-4, or the system
 * logger's (emerg, panic and crit are ALERT, err ERROR, warning WARN, notice
 * INFO); -1 otherwise. */
int log_level_of(const char *text);
/* The type named by text, in any case, or a digit 0-1; -1 otherwise. */
int log_type_of(const char *text);

/* Writes directory, then "tembra-YYYYMMDD.log" for the local date in day, into
 * path (size bytes); returns the length it needed, as snprintf does. */
int log_day_file_name(char *path, size_t size, const char *directory, const struct tm *day);

/* The date YYYYMMDD of a day file's name (any directory before it), or 0 when
 * it is not "tembra-YYYYMMDD.log", ".log.gz" or ".log.zst". */
int log_day_file_date(const char *path);

#ifdef __cplusplus
}
#endif

#endif
