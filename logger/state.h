/* The module's shared state, private to it: the lock over LogLine and the
 * handles, the day's path and the calls that keep the file open. */
#ifndef TEMBRA_STATE_H
#define TEMBRA_STATE_H

#include "logger/line_format.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One lock over LogLine and the handles; every public call holds it. */
void log_lock(void);
void log_unlock(void);

/* The path of the day's file as set-up built it, "" before set-up. */
extern char LogPath[LOG_PATH_SIZE];

/* Reopens the day's file when its path no longer names the open file (removed,
 * renamed or replaced), or when none is open; one stat when nothing changed.
 * The lock is held by the caller. */
void log_follow_path(void);

/* Before a drain's first write to the open file: a file left ending inside a
 * line (a drain killed mid-write) gets a newline, so our lines start whole.
 * Returns false when that newline could not be written. Lock held. */
bool log_end_on_whole_line(void);

#ifdef __cplusplus
}
#endif

#endif
