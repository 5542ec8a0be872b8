/* Line composition, private to the module and its tests: the shared line
 * buffer, the name tables and the calls that fill the buffer. */
#ifndef TEMBRA_COMPOSE_H
#define TEMBRA_COMPOSE_H

#include <stdarg.h>
#include <stddef.h>

#include "logger/line_format.h"

#ifdef __cplusplus
extern "C" {
#endif

#define LOG_DECIMAL_SIZE 24 /* a long in decimal, its sign and the NUL */

extern char LogLine[LOG_LINE_SIZE];

/* Writes the whole line for one record into LogLine and returns its length. */
size_t Log_Fill_LogLine(int level, int type, const char *format, va_list args);

/* Log_Fill_LogLine with the arguments themselves. */
size_t log_fill(int level, int type, const char *format, ...);

/* Appends the formatted message behind what LogLine holds. */
void Log_Print(const char *format, va_list args);

/* Writes the local time as LOG_TIME_LAYOUT into buf (LOG_TIME_SIZE bytes). */
void Log_Time(char *buf);

/* Writes value in decimal into buf (LOG_DECIMAL_SIZE bytes); returns its length. */
size_t log_decimal(char *buf, long value);

/* Forgets the cached timestamp, so the next Log_Time reads the zone anew. */
void log_time_reset(void);

#ifdef __cplusplus
}
#endif

#endif
