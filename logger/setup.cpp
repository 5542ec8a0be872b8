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

static bool initialised;

// One lock over LogLine and the handles, so threads never interleave in the
// line. A fork waits for the record in flight, so the child finds it free.
static pthread_mutex_t log_mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_once_t fork_handlers_once = PTHREAD_ONCE_INIT;

void log_lock(void) { pthread_mutex_lock(&log_mutex); }
void log_unlock(void) { pthread_mutex_unlock(&log_mutex); }
static void install_fork_handlers(void) { pthread_atfork(log_lock, log_unlock, log_unlock); }

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
    log_lock();
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
    log_unlock();
}
