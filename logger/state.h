/* The module's shared state, private to it: the lock over LogLine and the
 * handles, the day's file and the calls that keep it open.
 * Names: the public calls and the module's buffers and tables as they stand
 * (Log_Send, LogLine, mqd); other functions and variables lower_case, with
 * log_ when they are shared between the module's files; macros LOG_UPPER. */
#ifndef TEMBRA_STATE_H
#define TEMBRA_STATE_H

#include <sys/types.h>

#include "logger/line_format.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One lock over LogLine and the handles; every public call holds it. */
void log_lock(void);
void log_unlock(void);

/* The day's file as set-up opened it. Guarded by the lock. */
struct log_day_file {
    char path[LOG_PATH_SIZE]; /* as set-up built it, "" before set-up */
    dev_t dev;                /* the identity of the open file, to tell when */
    ino_t ino;                /* its path names another one */
    bool failure_reported;    /* "cannot open" said; said again only after a success */
    bool ending_checked;      /* the open file was seen to end on a whole line */
};
extern struct log_day_file log_day;

/* How set-up opened the queue. Guarded by the lock. */
struct log_queue_use {
    bool post_only_asked; /* Log_SetPostOnly: set-up opens no day file and says nothing of one */
    bool post_only;       /* the queue let this process post but not receive */
    bool unreadable_said; /* "cannot be read" said once */
};
extern struct log_queue_use log_queue;

/* In a drain of a queue opened for posting only: says so once, returns -1.
 * The lock is held by the caller. */
long log_report_unreadable(void);

/* Reopens the day's file when its path no longer names the open file (removed,
 * renamed or replaced), or when none is open; one stat when nothing changed.
 * The lock is held by the caller. */
void log_follow_path(void);

/* Before a drain's first write to the open file: a file left ending inside a
 * line (a drain killed mid-write) gets a newline, so our lines start whole.
 * Returns false when that newline could not be written. Lock held. */
bool log_end_on_whole_line(void);

/* When "/mqd" was removed since mqd was opened and a queue we trust stands at
 * the name again, moves mqd onto it (same number; the new queue is never
 * created here). True when it did. Lock held. */
bool log_follow_queue(void);

/* Log_Drain that looks at the file's path only when check_path is set (or no
 * file is open): for a caller that learns of changes to the path otherwise. */
long log_drain(bool check_path);

/* log_drain taking first a line of len bytes the caller received itself (a
 * drain that sleeps in a blocking receive of its own). */
long log_drain_with(bool check_path, const char *line, size_t len, unsigned int priority);

/* Log_Write with Log_Drain's result: the attribute block, then the drain. */
long log_write(void);

#ifdef __cplusplus
}
#endif

#endif
