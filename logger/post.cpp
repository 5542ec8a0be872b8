// Posting a record: compose the line, echo it to stdout, trace it to stderr
// and send it to the queue at priority = level; count and report lost lines.
#include <errno.h>
#include <mqueue.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "logger/compose.h"
#include "logger/logger.h"
#include "logger/state.h"

#define LOG_QUEUE_WATCH_MS 1000 /* how often a producer looks whether "/mqd" was replaced */
#define LOG_EXIT_WAIT_MS 100    /* the least the loss record waits for room at exit */

// What a producer does besides posting: plain words that any thread sets and
// reads atomically, without the lock; a forked child inherits them.
static struct {
    long wait_ms;  // how long a post waits for room: 0 never, < 0 as long as it takes
    bool echo;     // the line to standard output
    bool trace;    // "LogLine: <line> <length>" to standard error
} settings = {0, true, true};

// When the queue's name is next looked at. Guarded by the log lock.
static struct {
    long next_ms;  // on the coarse monotonic clock
} watch;

// Records whose post failed. Guarded by the log lock.
static struct {
    unsigned long total;       // since the process started
    unsigned long unreported;  // not yet in a loss record
    int last_errno;            // why the last post failed
} losses;

static unsigned int priority_of(int level) {
    if (level < 0) return 0;
    return level > LOG_PRIORITY_MAX ? LOG_PRIORITY_MAX : (unsigned int)level;
}

// Writes "LogLine: <line> <length>" to stderr as one piece: what fprintf
// would write, without its cost on an unbuffered stream.
static void trace(size_t len) {
    static const char label[] = "LogLine: ";
    static char text[sizeof label + LOG_LINE_SIZE + LOG_DECIMAL_SIZE];
    size_t n = sizeof label - 1;
    memcpy(text, label, n);
    memcpy(text + n, LogLine, len);
    n += len;
    text[n++] = ' ';
    n += log_decimal(text + n, (long)len);
    fwrite(text, 1, n, stderr);
}

// Composes "<program>[<pid>]: <N> records lost: <reason>" into LogLine.
static size_t fill_loss_record(unsigned long count, int error) {
    char pid[LOG_DECIMAL_SIZE], number[LOG_DECIMAL_SIZE];
    log_decimal(pid, (long)getpid());
    log_decimal(number, (long)count);
    return log_fill(LogWarn, LogProgram, "%s[%s]: %s record%s lost: %s", program_invocation_short_name, pid,
                number, count == 1 ? "" : "s", strerror(error));
}

static long milliseconds_now(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return (long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// Looks whether "/mqd" was replaced at most once a second, on a clock read
// without a system call, so the ordinary post makes none. Lock held.
static bool watch_queue(void) {
    long now = milliseconds_now();
    if (now < watch.next_ms) return false;
    watch.next_ms = now + LOG_QUEUE_WATCH_MS;
    return log_follow_queue();
}

// Waits up to wait_ms (< 0: as long as it takes) for room, then sends line;
// 0 or the errno of the failure. Runs without the lock, which it takes only to
// look at the queue's name while it waits.
static int wait_and_send(const char *line, size_t len, unsigned int priority, long wait_ms) {
    long deadline = milliseconds_now() + wait_ms;
    for (;;) {
        long left = wait_ms < 0 ? LOG_QUEUE_WATCH_MS : deadline - milliseconds_now();
        if (left <= 0) return EAGAIN;
        struct pollfd room = {mqd, POLLOUT, 0};
        poll(&room, 1, (int)(left < LOG_QUEUE_WATCH_MS ? left : LOG_QUEUE_WATCH_MS));
        if (mq_send(mqd, line, len, priority) == 0) return 0;
        if (errno != EAGAIN) return errno;
        log_lock();
        watch_queue();
        log_unlock();
    }
}

// Sends LogLine's len bytes and clears them; 0 or the errno of the failure.
// A full queue is waited on from a copy of the line, without the lock, so the
// process's other threads go on logging and draining meanwhile. Lock held on
// entry and on return.
static int post_line(size_t len, unsigned int priority, long wait_ms) {
    int error = mq_send(mqd, LogLine, len, priority) == 0 ? 0 : errno;
    // A failed post looks at once whether the queue was replaced.
    if (error != 0 && error != EMSGSIZE && log_follow_queue())
        error = mq_send(mqd, LogLine, len, priority) == 0 ? 0 : errno;
    if (error != EAGAIN || wait_ms == 0) {
        memset(LogLine, 0, len);
        return error;
    }
    char line[LOG_LINE_SIZE];
    memcpy(line, LogLine, len);
    memset(LogLine, 0, len);
    log_unlock();
    error = wait_and_send(line, len, priority, wait_ms);
    log_lock();
    return error;
}

// Posts the loss record, neither echoed nor traced. The count is taken while
// it is posted, so no other thread reports it too, and restored on failure.
static void post_loss_record(long wait_ms) {
    unsigned long count = losses.unreported;
    losses.unreported = 0;
    if (post_line(fill_loss_record(count, losses.last_errno), priority_of(LogWarn), wait_ms) != 0)
        losses.unreported += count;
}

// At exit the loss record waits the longer of the setting and 100 ms.
static void report_losses_at_exit(void) {
    long wait_ms = __atomic_load_n(&settings.wait_ms, __ATOMIC_RELAXED);
    if (wait_ms >= 0 && wait_ms < LOG_EXIT_WAIT_MS) wait_ms = LOG_EXIT_WAIT_MS;
    log_lock();
    if (losses.unreported != 0 && mqd != (mqd_t)-1) post_loss_record(wait_ms);
    log_unlock();
}

// A child starts with no losses of its own; the parent reports its own.
static void forget_losses(void) { losses.total = losses.unreported = 0; }

static void install_loss_handlers(void) {
    atexit(report_losses_at_exit);
    pthread_atfork(NULL, NULL, forget_losses);
}

static void count_loss(int error) {
    static pthread_once_t handlers_once = PTHREAD_ONCE_INIT;
    pthread_once(&handlers_once, install_loss_handlers);
    ++losses.total;
    ++losses.unreported;
    losses.last_errno = error;
}

// C linkage, as declared for C; C++ callers reach it through the checking template.
extern "C" TEMBRA_LOGGER_API void Log_Send(int level, int type, const char *format, ...) {
    long wait_ms = __atomic_load_n(&settings.wait_ms, __ATOMIC_RELAXED);
    va_list args;
    va_start(args, format);
    log_lock();
    watch_queue();
    if (losses.unreported != 0 && mqd != (mqd_t)-1) post_loss_record(wait_ms);
    size_t len = Log_Fill_LogLine(level, type, format, args);
    va_end(args);

    if (__atomic_load_n(&settings.echo, __ATOMIC_RELAXED)) {
        fwrite(LogLine, 1, len, stdout);
        fputc('\n', stdout);
    }
    if (__atomic_load_n(&settings.trace, __ATOMIC_RELAXED)) trace(len);
    int error = post_line(len, priority_of(level), wait_ms);
    if (error != 0) {
        fprintf(stderr, "%s :mq_send()[%s]\n", strerror(error), "Log_Send");
        count_loss(error);
    }
    log_unlock();
}

void Log_SetWait(long ms) { __atomic_store_n(&settings.wait_ms, ms, __ATOMIC_RELAXED); }
void Log_SetEcho(int on) { __atomic_store_n(&settings.echo, on != 0, __ATOMIC_RELAXED); }
void Log_SetTrace(int on) { __atomic_store_n(&settings.trace, on != 0, __ATOMIC_RELAXED); }

unsigned long Log_Lost(void) {
    log_lock();
    unsigned long lost = losses.total;
    log_unlock();
    return lost;
}
