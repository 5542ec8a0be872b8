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
struct log_queue_use log_queue;

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

// Our lines may reach a queue of our own user or of root (the system's drain,
// which only root can have made), never another user's: whatever its mode,
// that user could read them.
static bool queue_trusted(mqd_t q) {
    struct stat st;
    return fstat(q, &st) == 0 && (st.st_uid == geteuid() || st.st_uid == 0);
}

// Opens "/mqd" read-write (creating it when create says so); when its mode lets
// us post but not receive, for posting only, which post_only tells. A
// stranger's queue is refused (EACCES). Says nothing.
static mqd_t open_queue_quietly(int create, bool *post_only) {
    *post_only = false;
    mqd_t q = mq_open(LOG_QUEUE_NAME, O_RDWR | O_NONBLOCK | create, 0600, NULL);
    if (q == (mqd_t)-1 && errno == EACCES) {
        q = mq_open(LOG_QUEUE_NAME, O_WRONLY | O_NONBLOCK);
        *post_only = q != (mqd_t)-1;
    }
    if (q != (mqd_t)-1 && !queue_trusted(q)) {
        mq_close(q);
        *post_only = false;
        q = (mqd_t)-1;
        errno = EACCES;
    }
    return q;
}

static mqd_t open_queue(void) {
    mqd_t q = open_queue_quietly(O_CREAT, &log_queue.post_only);
    if (q == (mqd_t)-1) fprintf(stderr, "mq_open(): %s\n", strerror(errno));
    return q;
}

long log_report_unreadable(void) {
    if (!log_queue.unreadable_said)
        fprintf(stderr, "Log_Write: the queue %s cannot be read: it lets this user post only\n", LOG_QUEUE_NAME);
    log_queue.unreadable_said = true;
    return -1;
}

bool log_follow_queue(void) {
    struct stat st;
    if (mqd == (mqd_t)-1 || fstat(mqd, &st) != 0 || st.st_nlink != 0) return false;
    // Removed: the queue now at the name, never one we create, takes mqd's number.
    bool post_only;
    mqd_t q = open_queue_quietly(0, &post_only);
    if (q == (mqd_t)-1) return false;
    bool moved = dup3(q, mqd, O_CLOEXEC) == mqd;
    mq_close(q);
    if (moved) log_queue.post_only = post_only;
    return moved;
}

// Opens log_day.path for appending. A symlink at the path is refused (someone who
// may write the directory must not steer our lines into another file), as is
// anything but a regular file, which could block the open or the writes. The
// descriptor does not outlive an exec. A file we create is mode 0640 whatever
// the umask, and takes the directory's group when the directory is set-group-ID,
// so that group reads the logs.
static int open_day_path(void) {
    // Read access lets a drain see how the file ends; writing is what matters.
    const int flags = O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = open(log_day.path, O_RDWR | O_CREAT | O_EXCL | flags, 0640);
        if (fd >= 0) {
            fchmod(fd, 0640);
            return fd;
        }
        if (errno != EEXIST) return -1;
        fd = open(log_day.path, O_RDWR | flags);
        if (fd < 0 && errno == EACCES) fd = open(log_day.path, O_WRONLY | flags);
        if (fd >= 0 || errno != ENOENT) return fd;  // ENOENT: removed meanwhile, create it
    }
    return -1;
}

static FILE *open_file(void) {
    int fd = open_day_path();
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

    memset(log_day.path, 0, sizeof log_day.path);
    log_day.failure_reported = false;
    if (!log_queue.post_only_asked) {
        get_path(log_day.path, sizeof log_day.path, LOG_DIRECTORY);
        logfile = open_file();
        if (logfile == NULL) report_file_failure();
    }
    initialised = true;
    log_unlock();
}

void Log_SetPostOnly(int on) {
    log_lock();
    log_queue.post_only_asked = on != 0;
    log_unlock();
}
