/* Tembra logger: one line per record, posted to the queue "/mqd" and
 * drained into a daily file under /var/log/Tembra/. Usable from C and C++. */
#ifndef TEMBRA_LOGGER_H
#define TEMBRA_LOGGER_H

#include <mqueue.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Levels, also the queue priority: a higher level is taken off first. */
enum { LogInfo = 0, LogDebug = 1, LogWarn = 2, LogError = 3, LogAlert = 4 };
/* Types: the kind of component that produced the record. */
enum { LogProgram = 0, LogServer = 1 };

extern mqd_t mqd;     /* the queue, or -1 when set-up could not open it */
extern FILE *logfile; /* the day's file, or NULL when set-up could not open it */

/* All calls are serialised on one process-wide lock, and fork-safe. */

/* Opens the queue and the day's file. Call once before anything else;
 * a later call closes both and opens them anew. */
void Log_Init(void);

/* Composes one line from a format knowing %c, %d and %s, echoes it to
 * stdout, traces it to stderr and posts it to the queue at priority = level. */
void Log_Send(int level, int type, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

/* Prints the queue's attributes, then appends every pending line to the file,
 * reopening it if its path was removed or renamed. Lines go in batches of at
 * most 16, one write each; the lines of a failed write are kept, written first
 * by the next drain and, at exit, put back on the queue. */
void Log_Write(void);

/* Log_Write without the attributes: returns the number of lines written, or
 * -1 when there is no file, a receive failed or lines could not be written
 * (reported on stderr once, and once more when writing resumes). */
long Log_Drain(void);

#ifdef __cplusplus
}
#endif

#endif
