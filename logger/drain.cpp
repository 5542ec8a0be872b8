// Draining the queue: the attribute block, then the pending lines appended to
// the day's file in batches, keeping the lines of a write that failed.
#include <errno.h>
#include <mqueue.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "logger/compose.h"
#include "logger/logger.h"
#include "logger/state.h"

// A batch is written with one write, so a drain killed at any moment loses at
// most the lines of one batch.
#define LOG_BATCH 16
#define LOG_LOST_SHOWN 60

// The lines received and not yet in the file, end to end. They belong to the
// module, not to the stream, so a second Log_Init keeps them; a forked child
// forgets them, as they are its parent's.
static struct {
    char text[LOG_BATCH * LOG_LINE_SIZE];
    size_t length[LOG_BATCH];
    unsigned int priority[LOG_BATCH];
    int count;    // lines held
    size_t bytes; // their length in all
} batch;

// What has been said about a failure, so that each is said once.
static struct {
    bool write_failing;   // a write failed; said once, and once more on resuming
    bool no_file;         // "no log file" said once until a file is open again
    bool put_back_armed;  // the exit handler that puts kept lines back is registered
    int receive_errno;    // the errno of a failed receive, said once until receiving works
} said;

static void print_attr_info(const struct mq_attr *attr) {
    printf("[mq_attr_info]:");
    printf("mq_msgsize: %ld\n", (long)attr->mq_msgsize);
    printf("mq_flag: %ld\n", (long)attr->mq_flags);
    printf("mq_maxmsg: %ld\n", (long)attr->mq_maxmsg);
    printf("mq_curmsg: %ld\n", (long)attr->mq_curmsgs);
}

static void forget_batch(void) {
    batch.count = 0;
    batch.bytes = 0;
}

// "Log_Write: lost a DEBUG line: <its first 60 bytes>".
static void report_lost(const char *line, size_t len, unsigned int priority) {
    char number[LOG_DECIMAL_SIZE];
    const char *level = number;
    if (priority <= LOG_PRIORITY_MAX) level = LogLevelText[priority];
    else log_decimal(number, (long)priority);
    size_t shown = len < LOG_LOST_SHOWN ? len : LOG_LOST_SHOWN;
    if (shown > 0 && line[shown - 1] == '\n') --shown;
    fprintf(stderr, "Log_Write: lost a %s line: ", level);
    fwrite(line, 1, shown, stderr);
    fputc('\n', stderr);
}

// At exit, the lines that could not be written go back on the queue at their
// own priority, where a later drain finds them.
static void put_back(void) {
    log_lock();
    if (batch.count > 0) {
        int back = 0;
        const char *line = batch.text;
        for (int i = 0; i < batch.count; line += batch.length[i], ++i) {
            if (mq_send(mqd, line, batch.length[i], batch.priority[i]) == 0) ++back;
            else report_lost(line, batch.length[i], batch.priority[i]);
        }
        fprintf(stderr, "Log_Write: %d of %d unwritten lines put back on the queue\n", back, batch.count);
        forget_batch();
    }
    log_unlock();
}

static void report_failure(int error) {
    fprintf(stderr, "Log_Write: cannot write %s: %s; %d lines kept, the rest wait in the queue\n",
            log_day.path, strerror(error), batch.count);
}

// Writes the batch with one write (more only after a short one). On failure
// the file is cut back to where the batch began, so it ends on a whole line,
// and the batch is kept.
static bool write_batch(void) {
    fflush(logfile);  // anything the stream holds goes first
    int fd = fileno(logfile);
    size_t done = 0;
    off_t start = -1;
    int error = log_end_on_whole_line() ? 0 : errno;
    while (error == 0 && done < batch.bytes) {
        ssize_t n = write(fd, batch.text + done, batch.bytes - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        done += (size_t)n;
        // Where a short write began (O_APPEND put it at the end); whole writes never ask.
        if (start < 0 && done < batch.bytes) start = lseek(fd, 0, SEEK_CUR) - n;
    }
    if (done == batch.bytes) {
        forget_batch();
        return true;
    }
    if (start >= 0 && ftruncate(fd, start) != 0)
        fprintf(stderr, "Log_Write: cannot cut %s back to whole lines: %s\n", log_day.path, strerror(errno));
    if (!said.write_failing) report_failure(error);
    said.write_failing = true;
    if (!said.put_back_armed) said.put_back_armed = atexit(put_back) == 0;
    return false;
}

// Counts the len bytes just placed at the batch's end as its next line.
static void count_in_batch(size_t len, unsigned int priority) {
    batch.length[batch.count] = len;
    batch.priority[batch.count] = priority;
    batch.bytes += len;
    ++batch.count;
}

// Takes up to one batch off the queue; 0 when the queue is empty, -1 when a
// receive failed for another reason (reported).
static int receive_batch(void) {
    while (batch.count < LOG_BATCH) {
        unsigned int priority;
        ssize_t len = mq_receive(mqd, batch.text + batch.bytes, LOG_LINE_SIZE, &priority);
        if (len <= 0) {
            if (len < 0 && errno != EAGAIN) {
                if (errno != said.receive_errno)
                    fprintf(stderr, "%s :mq_receive()[%s]\n", strerror(errno), "Log_Write");
                said.receive_errno = errno;
                return -1;
            }
            said.receive_errno = 0;
            return 0;
        }
        said.receive_errno = 0;
        count_in_batch((size_t)len, priority);
    }
    return 1;
}

// A forked child starts without its parent's kept lines.
static void forget_parents_batch(void) {
    forget_batch();
    said.write_failing = false;
}

static void install_fork_handler(void) { pthread_atfork(NULL, NULL, forget_parents_batch); }

// Writes the kept lines, then the queue's in batches until it is empty,
// first reopening the file when check_path finds its path changed; the
// lock is held by the caller. Nothing more is received while lines kept from
// a failed write wait; a line handed in by log_drain_with is topped up.
static long drain_to_file(bool check_path) {
    if (log_queue.post_only) return log_report_unreadable();
    static pthread_once_t fork_handler_once = PTHREAD_ONCE_INIT;
    pthread_once(&fork_handler_once, install_fork_handler);
    if (check_path || logfile == NULL) log_follow_path();
    if (logfile == NULL) {
        if (!said.no_file)
            fprintf(stderr, "Log_Write: no log file is open, the queue is left for a later drain\n");
        said.no_file = true;
        return -1;
    }
    said.no_file = false;
    long count = 0;
    for (;;) {
        int more = batch.count > 0 && said.write_failing ? 1 : receive_batch();
        int lines = batch.count;
        if (lines > 0 && !write_batch()) return -1;
        count += lines;
        if (more <= 0) {
            if (said.write_failing) {
                fprintf(stderr, "Log_Write: writing %s again; %ld lines written late\n", log_day.path, count);
                said.write_failing = false;
            }
            return more < 0 ? -1 : count;
        }
    }
}

long log_write(void) {
    log_lock();
    struct mq_attr attr;
    memset(&attr, 0, sizeof attr);
    mq_getattr(mqd, &attr);
    print_attr_info(&attr);
    long count = drain_to_file(true);
    log_unlock();
    return count;
}

void Log_Write(void) { log_write(); }

long log_drain(bool check_path) {
    log_lock();
    long count = drain_to_file(check_path);
    log_unlock();
    return count;
}

long Log_Drain(void) { return log_drain(true); }

// The line goes first into the batch; one that finds the batch full of kept
// lines goes back on the queue, or is reported lost. Kept lines go back on
// the queue at exit.
long log_drain_with(bool check_path, const char *line, size_t len, unsigned int priority) {
    log_lock();
    if (len > 0 && batch.count < LOG_BATCH) {
        memcpy(batch.text + batch.bytes, line, len);
        count_in_batch(len, priority);
        if (!said.put_back_armed) said.put_back_armed = atexit(put_back) == 0;
    } else if (len > 0 && mq_send(mqd, line, len, priority) != 0) {
        report_lost(line, len, priority);
    }
    long count = drain_to_file(check_path);
    log_unlock();
    return count;
}
