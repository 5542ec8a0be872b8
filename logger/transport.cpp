// Queue transport: the logger's handles, set-up, posting a record and
// draining the queue into the day's log file.
#include <errno.h>
#include <fcntl.h>
#include <mqueue.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "logger/compose.h"
#include "logger/logger.h"

#define LOG_QUEUE_NAME "/mqd"
#define LOG_DIRECTORY "/var/log/Tembra/"
#define LOG_DATE_SIZE 64
#define LOG_PATH_SIZE 256
#define LOG_PRIORITY_MAX 4

mqd_t mqd = 0;
FILE *logfile = NULL;

static bool initialised;

// One lock over LogLine and the handles, so threads never interleave in the
// line. A fork waits for the record in flight, so the child finds it free.
static pthread_mutex_t log_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_once_t fork_handlers_once = PTHREAD_ONCE_INIT;

static void lock(void) { pthread_mutex_lock(&log_lock); }
static void unlock(void) { pthread_mutex_unlock(&log_lock); }
static void install_fork_handlers(void) { pthread_atfork(lock, unlock, unlock); }

void get_date(char *date) {
    struct timeval now = {0, 0};
    gettimeofday(&now, NULL);
    struct tm local;
    memset(date, 0, LOG_DATE_SIZE);
    if (localtime_r(&now.tv_sec, &local) != NULL) strftime(date, LOG_DATE_SIZE, "%Y%m%d", &local);
}

void get_path(char *path, size_t size, const char *directory) {
    char date[LOG_DATE_SIZE];
    get_date(date);
    snprintf(path, size, "%stembra-%s.log", directory, date);
}

// Opens "/mqd" and refuses a queue that another user owns, whatever its
// permission bits: our lines must not reach a stranger's reader.
static mqd_t open_queue(void) {
    mqd_t q = mq_open(LOG_QUEUE_NAME, O_RDWR | O_CREAT | O_NONBLOCK, 0600, NULL);
    if (q != (mqd_t)-1) {
        struct stat st;
        if (fstat(q, &st) == 0 && st.st_uid != geteuid()) {
            mq_close(q);
            q = (mqd_t)-1;
            errno = EACCES;
        }
    }
    if (q == (mqd_t)-1) fprintf(stderr, "mq_open(): %s\n", strerror(errno));
    return q;
}

static void close_handles(void) {
    if (!initialised) return;
    if (mqd != (mqd_t)-1) mq_close(mqd);
    if (logfile != NULL) fclose(logfile);
    mqd = (mqd_t)-1;
    logfile = NULL;
}

void Log_Init(void) {
    pthread_once(&fork_handlers_once, install_fork_handlers);
    lock();
    close_handles();
    tzset();
    Log_Time_Reset();
    mqd = open_queue();

    char path[LOG_PATH_SIZE];
    get_path(path, sizeof path, LOG_DIRECTORY);
    logfile = fopen(path, "a");
    // A buffer of our own keeps the drain off the heap; the previous stream is closed.
    static char logfile_buffer[BUFSIZ];
    if (logfile != NULL) setvbuf(logfile, logfile_buffer, _IOFBF, sizeof logfile_buffer);
    if (logfile == NULL) fprintf(stderr, "Can not access logfile %s : Permission denied\n", path);
    initialised = true;
    unlock();
}

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

void Log_Send(int level, int type, const char *format, ...) {
    va_list args;
    va_start(args, format);
    lock();
    size_t len = Log_Fill_LogLine(level, type, format, args);
    va_end(args);

    fwrite(LogLine, 1, len, stdout);
    fputc('\n', stdout);
    trace(len);
    if (mq_send(mqd, LogLine, len, priority_of(level)) == -1) {
        fprintf(stderr, "%s :mq_send()[%s]\n", strerror(errno), "Log_Send");
    }
    memset(LogLine, 0, len);
    unlock();
}

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
    lock();
    struct mq_attr attr;
    memset(&attr, 0, sizeof attr);
    mq_getattr(mqd, &attr);
    print_attr_info(&attr);
    drain_to_file();
    unlock();
}

long Log_Drain(void) {
    lock();
    long count = drain_to_file();
    unlock();
    return count;
}
