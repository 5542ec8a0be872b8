// The --follow loop: drains as lines arrive, retries a file that cannot be
// written, follows a replaced queue, reopens on SIGHUP and at midnight.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <time.h>

#include <cstdio>

#include "common/clock.h"
#include "logger/logger.h"
#include "logger/state.h"
#include "tools/drain/drain.h"

namespace {

volatile sig_atomic_t stop_requested = 0;
volatile sig_atomic_t reopen_requested = 0;

void on_stop(int) { stop_requested = 1; }
void on_hangup(int) { reopen_requested = 1; }

constexpr int kRetryMs = 250;       // how soon a failed drain is tried again
constexpr int kQueueCheckMs = 500;  // how often "/mqd" is looked at

// The next local midnight, as a point in time.
time_t next_midnight() { return tools::local_midnight(time(nullptr), 1); }

// Milliseconds from now until the deadline, at most one second.
int ms_until(time_t deadline) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    long ms = (long)(deadline - now.tv_sec) * 1000 - now.tv_nsec / 1000000;
    return ms < 0 ? 0 : ms > 1000 ? 1000 : (int)ms;
}

// True when "/mqd" no longer names our queue: it was removed (and perhaps
// created again by a producer).
bool queue_removed() {
    struct stat st;
    return mqd == (mqd_t)-1 || (fstat(mqd, &st) == 0 && st.st_nlink == 0);
}

// SIGINT and SIGTERM stop, SIGHUP reopens; all three are held back except
// while waiting, so none slips in between a check and the wait.
sigset_t catch_signals() {
    struct sigaction action = {};
    action.sa_handler = on_stop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = on_hangup;
    sigaction(SIGHUP, &action, nullptr);
    sigset_t held, waiting;
    sigemptyset(&held);
    sigaddset(&held, SIGINT);
    sigaddset(&held, SIGTERM);
    sigaddset(&held, SIGHUP);
    sigprocmask(SIG_BLOCK, &held, &waiting);
    sigdelset(&waiting, SIGINT);
    sigdelset(&waiting, SIGTERM);
    sigdelset(&waiting, SIGHUP);
    return waiting;
}

// "RELOADING=1" with the monotonic time, which newer service managers need to
// match the reload with the READY=1 that ends it.
void notify_reloading() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char state[64];
    std::snprintf(state, sizeof state, "RELOADING=1\nMONOTONIC_USEC=%lld",
                  (long long)now.tv_sec * 1000000 + now.tv_nsec / 1000);
    notify(state);
}

// A replaced queue, still drained for a while: a producer looks at the
// queue's name once a second and may post into the old queue until then.
constexpr long kReplacedGraceMs = 3000;
struct {
    mqd_t queue = (mqd_t)-1;  // our own descriptor of it, or -1
    long until_ms = 0;        // when it is let go
} replaced;

// Drains the replaced queue through the module, which drains mqd.
void drain_replaced() {
    mqd_t current = mqd;
    mqd = replaced.queue;
    Log_Drain();
    mqd = current;
    if (tools::monotonic_ms(CLOCK_MONOTONIC_COARSE) >= replaced.until_ms) {
        mq_close(replaced.queue);
        replaced.queue = (mqd_t)-1;
    }
}

// Opens the queue at the name anew, keeping the removed one for a while.
void follow_replaced(const Settings &settings) {
    if (replaced.queue != (mqd_t)-1) mq_close(replaced.queue);
    replaced.queue = mqd == (mqd_t)-1 ? (mqd_t)-1 : (mqd_t)dup(mqd);
    replaced.until_ms = tools::monotonic_ms(CLOCK_MONOTONIC_COARSE) + kReplacedGraceMs;
    set_up(settings);
}

// The day's file, watched for being removed, renamed or changed, so that a
// wake-up looks at its path only then, not on every line.
struct {
    int fd = -1;  // the inotify descriptor, or -1
    int wd = -1;  // the watch on the file now open
    dev_t dev = 0;
    ino_t ino = 0;  // the file watched
} watch;

// True when the path must be looked at before draining: the watch saw the
// file touched (touched), or the open file is not the one watched.
bool path_needs_check(bool touched) {
    char events[4096];
    if (touched)
        while (read(watch.fd, events, sizeof events) > 0) {
        }
    if (logfile != nullptr && (log_day.ino != watch.ino || log_day.dev != watch.dev)) {
        if (watch.fd < 0) watch.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (watch.wd >= 0) inotify_rm_watch(watch.fd, watch.wd);
        watch.wd = inotify_add_watch(watch.fd, log_day.path, IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF);
        watch.dev = log_day.dev;
        watch.ino = log_day.ino;
        touched = true;  // the path may have changed before the watch began
    }
    return touched || watch.wd < 0;
}

// What is pending goes to the file in use; then the queue and file are opened anew.
void reopen(const Settings &settings) {
    Log_Drain();
    set_up(settings);
}

}  // namespace

int follow(const Settings &settings) {
    sigset_t waiting = catch_signals();
    bool failing = log_write() < 0;
    std::fflush(stdout);  // a service's block shows at once, not at exit
    notify("READY=1");

    time_t rollover = next_midnight();
    long queue_checked = tools::monotonic_ms(CLOCK_MONOTONIC_COARSE);
    while (!stop_requested) {
        // While the last drain failed, the queue is left alone and the drain retried.
        pollfd ready_fds[3] = {{mqd, POLLIN, 0}, {replaced.queue, POLLIN, 0}, {watch.fd, POLLIN, 0}};
        int timeout = failing ? kRetryMs : ms_until(rollover);
        timespec wait = {timeout / 1000, (timeout % 1000) * 1000000L};
        int ready = ppoll(ready_fds, failing || mqd == (mqd_t)-1 ? 0 : 3, &wait, &waiting);
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "tembra-drain: poll(): %s\n", strerror(errno));
            return 1;
        }
        if (stop_requested) break;
        if (reopen_requested) {
            reopen_requested = 0;
            notify_reloading();
            reopen(settings);
            notify("READY=1");
        }
        // A removed queue is let go only once all it holds is in the file.
        if (tools::monotonic_ms(CLOCK_MONOTONIC_COARSE) - queue_checked >= kQueueCheckMs) {
            queue_checked = tools::monotonic_ms(CLOCK_MONOTONIC_COARSE);
            if (queue_removed() && (mqd == (mqd_t)-1 || Log_Drain() >= 0)) follow_replaced(settings);
        }
        if (replaced.queue != (mqd_t)-1) drain_replaced();
        if (time(nullptr) >= rollover) {
            reopen(settings);
            rollover = next_midnight();
        }
        bool check = failing || path_needs_check(ready > 0 && ready_fds[2].revents != 0);
        failing = mqd == (mqd_t)-1 || log_drain(check) < 0;
    }
    Log_Drain();
    return 0;
}
