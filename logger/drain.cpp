// Draining the queue: the attribute block, then every pending line appended
// to the day's file.
#include <errno.h>
#include <mqueue.h>
#include <stdio.h>
#include <string.h>

#include "logger/compose.h"
#include "logger/logger.h"
#include "logger/state.h"

void print_attr_info(const struct mq_attr *attr) {
    printf("[mq_attr_info]:");
    printf("mq_msgsize: %ld\n", (long)attr->mq_msgsize);
    printf("mq_flag: %ld\n", (long)attr->mq_flags);
    printf("mq_maxmsg: %ld\n", (long)attr->mq_maxmsg);
    printf("mq_curmsg: %ld\n", (long)attr->mq_curmsgs);
}

// Takes messages off the queue until it is empty. Each is written as exactly
// the bytes received, so a NUL inside or a full-size message stays intact.
static long drain(void) {
    long count = 0;
    for (;;) {
        unsigned int priority;
        ssize_t len = mq_receive(mqd, LogLine, LOG_LINE_SIZE, &priority);
        if (len <= 0) {
            if (len < 0 && errno != EAGAIN) {
                fprintf(stderr, "%s :mq_receive()[%s]\n", strerror(errno), "Log_Write");
                return -1;
            }
            return count;
        }
        fwrite(LogLine, 1, (size_t)len, logfile);
        memset(LogLine, 0, (size_t)len);
        ++count;
    }
}

// Drains and flushes; the lock is held by the caller.
static long drain_to_file(void) {
    if (logfile == NULL) {
        fprintf(stderr, "Log_Write: no log file is open, the queue is left for a later drain\n");
        return -1;
    }
    long count = drain();
    fflush(logfile);
    return count;
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
