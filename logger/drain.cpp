// Draining the queue: the attribute block, then the pending lines appended to
// the day's file in batches, keeping the lines of a write that failed.
#include <errno.h>
#include <mqueue.h>
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
// does not inherit them (batch_owner tells).
static char Batch[LOG_BATCH * LOG_LINE_SIZE];
static size_t BatchLength[LOG_BATCH];
static unsigned int BatchPriority[LOG_BATCH];
static int batch_lines;
static size_t batch_bytes;
static pid_t batch_owner;

static bool write_failing;    // a write failed; said once, and once more on resuming
static bool no_file_reported; // "no log file" said once until a file is open again
static bool put_back_armed;   // the exit handler that puts kept lines back is registered
static int receive_failure;   // the errno of a failed receive, said once until receiving works

void print_attr_info(const struct mq_attr *attr) {
    printf("[mq_attr_info]:");
    printf("mq_msgsize: %ld\n", (long)attr->mq_msgsize);
    printf("mq_flag: %ld\n", (long)attr->mq_flags);
    printf("mq_maxmsg: %ld\n", (long)attr->mq_maxmsg);
    printf("mq_curmsg: %ld\n", (long)attr->mq_curmsgs);
}

static void forget_batch(void) {
    batch_lines = 0;
    batch_bytes = 0;
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
    if (batch_lines > 0 && batch_owner == getpid()) {
        int back = 0;
        const char *line = Batch;
        for (int i = 0; i < batch_lines; line += BatchLength[i], ++i) {
            if (mq_send(mqd, line, BatchLength[i], BatchPriority[i]) == 0) ++back;
            else report_lost(line, BatchLength[i], BatchPriority[i]);
        }
        fprintf(stderr, "Log_Write: %d of %d unwritten lines put back on the queue\n", back, batch_lines);
        forget_batch();
    }
    log_unlock();
}

static void report_failure(int error) {
    fprintf(stderr, "Log_Write: cannot write %s: %s; %d lines kept, the rest wait in the queue\n",
            LogPath, strerror(error), batch_lines);
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
    while (error == 0 && done < batch_bytes) {
        ssize_t n = write(fd, Batch + done, batch_bytes - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        done += (size_t)n;
        // Where a short write began (O_APPEND put it at the end); whole writes never ask.
        if (start < 0 && done < batch_bytes) start = lseek(fd, 0, SEEK_CUR) - n;
    }
    if (done == batch_bytes) {
        forget_batch();
        return true;
    }
    if (start >= 0 && ftruncate(fd, start) != 0)
        fprintf(stderr, "Log_Write: cannot cut %s back to whole lines: %s\n", LogPath, strerror(errno));
    if (!write_failing) report_failure(error);
    write_failing = true;
    if (!put_back_armed) put_back_armed = atexit(put_back) == 0;
    return false;
}

// Takes up to one batch off the queue; 0 when the queue is empty, -1 when a
// receive failed for another reason (reported).
static int receive_batch(void) {
    batch_owner = getpid();
    while (batch_lines < LOG_BATCH) {
        unsigned int priority;
        ssize_t len = mq_receive(mqd, Batch + batch_bytes, LOG_LINE_SIZE, &priority);
        if (len <= 0) {
            if (len < 0 && errno != EAGAIN) {
                if (errno != receive_failure)
                    fprintf(stderr, "%s :mq_receive()[%s]\n", strerror(errno), "Log_Write");
                receive_failure = errno;
                return -1;
            }
            receive_failure = 0;
            return 0;
        }
        receive_failure = 0;
        BatchLength[batch_lines] = (size_t)len;
        BatchPriority[batch_lines] = priority;
        batch_bytes += (size_t)len;
        ++batch_lines;
    }
    return 1;
}

// Writes the kept lines, then the queue's in batches until it is empty; the
// lock is held by the caller. Nothing more is received while lines are kept.
static long drain_to_file(void) {
    if (batch_lines > 0 && batch_owner != getpid()) {  // the parent's lines, not ours
        forget_batch();
        write_failing = false;
    }
    log_follow_path();
    if (logfile == NULL) {
        if (!no_file_reported)
            fprintf(stderr, "Log_Write: no log file is open, the queue is left for a later drain\n");
        no_file_reported = true;
        return -1;
    }
    no_file_reported = false;
    long count = 0;
    for (;;) {
        int more = batch_lines > 0 ? 1 : receive_batch();
        int lines = batch_lines;
        if (lines > 0 && !write_batch()) return -1;
        count += lines;
        if (more <= 0) {
            if (write_failing) {
                fprintf(stderr, "Log_Write: writing %s again; %ld lines written late\n", LogPath, count);
                write_failing = false;
            }
            return more < 0 ? -1 : count;
        }
    }
}

void Log_Write(void) {
    log_lock();
    struct mq_attr attr;
    memset(&attr, 0, sizeof attr);
    mq_getattr(mqd, &attr);
    print_attr_info(&attr);
    drain_to_file();
    log_unlock();
}

long Log_Drain(void) {
    log_lock();
    long count = drain_to_file();
    log_unlock();
    return count;
}
