/* Tembra logger: one line per record, posted to the queue "/mqd" and
 * drained into a daily file under /var/log/Tembra/. Usable from C and C++. */
#ifndef TEMBRA_LOGGER_H
#define TEMBRA_LOGGER_H

#include <mqueue.h>
#include <stdio.h>

/* The calls and handles the shared library exports; everything else is hidden. */
#define TEMBRA_LOGGER_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* Levels, also the queue priority: a higher level is taken off first. */
enum { LogInfo = 0, LogDebug = 1, LogWarn = 2, LogError = 3, LogAlert = 4 };
/* Types: the kind of component that produced the record. */
enum { LogProgram = 0, LogServer = 1 };

extern TEMBRA_LOGGER_API mqd_t mqd;     /* the queue, or -1 when set-up could not open it */
extern TEMBRA_LOGGER_API FILE *logfile; /* the day's file, or NULL when set-up could not open it */

/* All calls are serialised on one process-wide lock, and fork-safe. */

/* Opens the queue and the day's file. Call once before anything else;
 * a later call closes both and opens them anew. A queue whose mode lets this
 * user post but not receive is opened for posting only; Log_Write and
 * Log_Drain then say that it cannot be read and return -1. */
TEMBRA_LOGGER_API void Log_Init(void);

/* Call before Log_Init in a process that only posts (on != 0): set-up then
 * opens no day file and says nothing about one. */
TEMBRA_LOGGER_API void Log_SetPostOnly(int on);

/* Composes one line from a format knowing %c, %d and %s, echoes it to
 * stdout, traces it to stderr and posts it to the queue at priority = level.
 * When "/mqd" was removed and made again, posts go to the new queue (looked
 * at once a second and after a failed post; mqd keeps its number).
 * After lost posts, a WARN record "<program>[<pid>]: <N> records lost: <reason>"
 * is posted first (or at exit, waiting up to 100 ms for room).
 * C (and C++ before C++20) checks the format as printf's, whose rules differ:
 * here a '%' arms the next c, d or s across other text ("50%% done" converts
 * the d of done, unseen by that check) and "%%" is no escape ("%%d" takes an
 * int, which that check flags). C++20 checks literal formats by this
 * logger's own rules while compiling (log_format.h). */
#if defined(__cplusplus) && __cplusplus >= 202002L
}
namespace log_check {
extern "C" TEMBRA_LOGGER_API void Log_Send(int level, int type, const char *format, ...);
}
extern "C" {
#else
TEMBRA_LOGGER_API void Log_Send(int level, int type, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
#endif

/* Prints the queue's attributes, then appends every pending line to the file,
 * reopening it if its path was removed or renamed. Lines go in batches of at
 * most 16, one write each; the lines of a failed write are kept, written first
 * by the next drain and, at exit, put back on the queue. */
TEMBRA_LOGGER_API void Log_Write(void);

/* Log_Write without the attributes: returns the number of lines written, or
 * -1 when there is no file, a receive failed or lines could not be written
 * (reported on stderr once, and once more when writing resumes). */
TEMBRA_LOGGER_API long Log_Drain(void);

/* The number of this process's records whose post failed since it started. */
TEMBRA_LOGGER_API unsigned long Log_Lost(void);

/* Producer settings: process-wide, safe from any thread at any time, kept by
 * a forked child. */

/* How long a post to a full queue waits for room before its record counts as
 * lost: 0 (the default) never waits, a negative value waits as long as it
 * takes. The echo and trace come first; other threads log and drain while a
 * post waits. The loss record waits as long; at exit at least 100 ms. */
TEMBRA_LOGGER_API void Log_SetWait(long ms);

/* 0 turns off the echo of each line to stdout, or the trace "LogLine: <line>
 * <length>" to stderr; 1 (the default) turns it on. Failed posts are still
 * reported on stderr. */
TEMBRA_LOGGER_API void Log_SetEcho(int on);
TEMBRA_LOGGER_API void Log_SetTrace(int on);

#ifdef __cplusplus
}
#if __cplusplus >= 202002L
#include "log_format.h"
#endif
#endif

#endif
