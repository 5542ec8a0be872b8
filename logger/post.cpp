// Posting a record: compose the line, echo it to stdout, trace it to stderr
// and send it to the queue at priority = level; count and report lost lines.
#include <errno.h>
#include <mqueue.h>
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

static size_t fill(int level, int type, const char *format, ...) {
    va_list args;
    va_start(args, format);
    size_t len = Log_Fill_LogLine(level, type, format, args);
    va_end(args);
    return len;
}

// Composes "<program>[<pid>]: <N> records lost: <reason>" into LogLine.
static size_t fill_loss_record(void) {
    char pid[LOG_DECIMAL_SIZE], count[LOG_DECIMAL_SIZE];
    log_decimal(pid, (long)getpid());
    log_decimal(count, (long)losses.unreported);
    return fill(LogWarn, LogProgram, "%s[%s]: %s record%s lost: %s", program_invocation_short_name,
                pid, count, losses.unreported == 1 ? "" : "s", strerror(losses.last_errno));
}

static long milliseconds_now(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// Posts the loss record, trying again every millisecond for up to wait_ms
// while the queue is full (the descriptor never blocks). It is neither echoed
// nor traced, and a failure leaves the count.
static void post_loss_record(long wait_ms) {
    size_t len = fill_loss_record();
    const struct timespec pause = {0, 1000000};
    long deadline = wait_ms > 0 ? milliseconds_now() + wait_ms : 0;
    int sent;
    while ((sent = mq_send(mqd, LogLine, len, priority_of(LogWarn))) == -1 && errno == EAGAIN &&
           wait_ms > 0 && milliseconds_now() < deadline)
        nanosleep(&pause, NULL);
    if (sent == 0) losses.unreported = 0;
    memset(LogLine, 0, len);
}

static void report_losses_at_exit(void) {
    log_lock();
    if (losses.unreported != 0 && mqd != (mqd_t)-1) post_loss_record(100);
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
    va_list args;
    va_start(args, format);
    log_lock();
    if (losses.unreported != 0 && mqd != (mqd_t)-1) post_loss_record(0);
    size_t len = Log_Fill_LogLine(level, type, format, args);
    va_end(args);

    fwrite(LogLine, 1, len, stdout);
    fputc('\n', stdout);
    trace(len);
    if (mq_send(mqd, LogLine, len, priority_of(level)) == -1) {
        int error = errno;
        fprintf(stderr, "%s :mq_send()[%s]\n", strerror(error), "Log_Send");
        count_loss(error);
    }
    memset(LogLine, 0, len);
    log_unlock();
}

unsigned long Log_Lost(void) {
    log_lock();
    unsigned long lost = losses.total;
    log_unlock();
    return lost;
}
