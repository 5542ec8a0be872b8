// Logger set-up: the two handles, the lock that guards them and LogLine,
// and the opening of the queue and the day's file.
#include <errno.h>
#include <fcntl.h>
#include <mqueue.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "logger/compose.h"
#include "logger/logger.h"
#include "logger/state.h"

mqd_t mqd = 0;
FILE *logfile = NULL;
struct log_day_file log_day;

static bool initialised;

// One lock over LogLine and the handles, so threads never interleave in the
// line. A fork waits for the record in flight, so the child finds it free.
static pthread_mutex_t log_mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_once_t fork_handlers_once = PTHREAD_ONCE_INIT;

void log_lock(void) { pthread_mutex_lock(&log_mutex); }
void log_unlock(void) { pthread_mutex_unlock(&log_mutex); }
static void install_fork_handlers(void) { pthread_atfork(log_lock, log_unlock, log_unlock); }

// The day's path for the local date now.
void get_path(char *path, size_t size, const char *directory) {
    struct timeval now = {0, 0};
    gettimeofday(&now, NULL);
    struct tm local;
    memset(path, 0, size);
    if (localtime_r(&now.tv_sec, &local) != NULL) log_day_file_name(path, size, directory, &local);
}

// Refuses (closes, errno EACCES) a queue that another user owns, whatever its
// permission bits: our lines must not reach a stranger's reader.
static mqd_t trusted(mqd_t q) {
    struct stat st;
    if (q != (mqd_t)-1 && fstat(q, &st) == 0 && st.st_uid != geteuid()) {
        mq_close(q);
        q = (mqd_t)-1;
        errno = EACCES;
    }
    return q;
}

// Opens "/mqd", creating it when missing.
static mqd_t open_queue(void) {
    mqd_t q = trusted(mq_open(LOG_QUEUE_NAME, O_RDWR | O_CREAT | O_NONBLOCK, 0600, NULL));
    if (q == (mqd_t)-1) fprintf(stderr, "mq_open(): %s\n", strerror(errno));
    return q;
}

bool log_follow_queue(void) {
    struct stat st;
    if (mqd == (mqd_t)-1 || fstat(mqd, &st) != 0 || st.st_nlink != 0) return false;
    // Removed: the queue now at the name, never one we create, takes mqd's number.
    mqd_t q = trusted(mq_open(LOG_QUEUE_NAME, O_RDWR | O_NONBLOCK));
    if (q == (mqd_t)-1 && errno == EACCES) q = trusted(mq_open(LOG_QUEUE_NAME, O_WRONLY | O_NONBLOCK));
    if (q == (mqd_t)-1) return false;
    bool moved = dup3(q, mqd, O_CLOEXEC) == mqd;
    mq_close(q);
    return moved;
}

// Opens log_day.path for appending. A symlink at the path is refused (someone who
// may write the directory must not steer our lines into another file), as is
// anything but a regular file, which could block the open or the writes. The
// descriptor does not outlive an exec, and the file is never world-writable.
static FILE *open_file(void) {
    // Read access lets a drain see how the file ends; writing is what matters.
    const int flags = O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    int fd = open(log_day.path, O_RDWR | flags, 0640);
    if (fd < 0 && errno == EACCES) fd = open(log_day.path, O_WRONLY | flags, 0640);
    if (fd < 0) return NULL;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return NULL;
    }
    fcntl(fd, F_SETFL, O_APPEND);  // O_NONBLOCK was only for the open
    FILE *file = fdopen(fd, "a");
    if (file == NULL) {
        close(fd);
        return NULL;
    }
    // A buffer of our own keeps the module off the heap; the previous stream is closed.
    static char logfile_buffer[BUFSIZ];
    setvbuf(file, logfile_buffer, _IOFBF, sizeof logfile_buffer);
    log_day.dev = st.st_dev;
    log_day.ino = st.st_ino;
    log_day.ending_checked = false;
    return file;
}

bool log_end_on_whole_line(void) {
    if (log_day.ending_checked || logfile == NULL) return true;
    int fd = fileno(logfile);
    struct stat st;
    char last = '\n';
    if (fstat(fd, &st) == 0 && st.st_size > 0) pread(fd, &last, 1, st.st_size - 1);
    if (last != '\n' && write(fd, "\n", 1) != 1) return false;
    log_day.ending_checked = true;
    return true;
}

static void report_file_failure(void) {
    fprintf(stderr, "Can not access logfile %s : Permission denied\n", log_day.path);
    log_day.failure_reported = true;
}

static void close_file(void) {
    if (logfile != NULL) fclose(logfile);
    logfile = NULL;
}

void log_follow_path(void) {
    if (log_day.path[0] == '\0') return;
    struct stat at;
    if (logfile != NULL && stat(log_day.path, &at) == 0 && at.st_dev == log_day.dev && at.st_ino == log_day.ino)
        return;
    close_file();
    logfile = open_file();
    if (logfile != NULL) log_day.failure_reported = false;
    else if (!log_day.failure_reported) report_file_failure();
}

static void close_handles(void) {
    if (!initialised) return;
    if (mqd != (mqd_t)-1) mq_close(mqd);
    close_file();
    mqd = (mqd_t)-1;
}

void Log_Init(void) {
    pthread_once(&fork_handlers_once, install_fork_handlers);
    log_lock();
    close_handles();
    tzset();
    log_time_reset();
    mqd = open_queue();

    get_path(log_day.path, sizeof log_day.path, LOG_DIRECTORY);
    logfile = open_file();
    log_day.failure_reported = false;
    if (logfile == NULL) report_file_failure();
    initialised = true;
    log_unlock();
}
