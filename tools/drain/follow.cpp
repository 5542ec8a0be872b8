// The --follow loop: drains as lines arrive, retries a file that cannot be
// written, follows a replaced queue, reopens on SIGHUP and at midnight.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <time.h>

#include <atomic>
#include <cstdio>

#include "common/clock.h"
#include "logger/logger.h"
#include "logger/state.h"
#include "tools/drain/drain.h"

namespace {

volatile sig_atomic_t stop_requested = 0;
volatile sig_atomic_t reopen_requested = 0;
std::atomic<bool> file_touched = false;  // the watch on the day's file saw it change (SIGIO)

// Lines waiting in mqd's queue.
long queue_pending() {
    struct mq_attr attr = {};
    return mqd != (mqd_t)-1 && mq_getattr(mqd, &attr) == 0 ? attr.mq_curmsgs : 0;
}

// A signal wakes a drain asleep in a blocking receive with an empty message,
// posted only when the queue is empty (else the receive returns anyway); one
// asleep in ppoll is woken by the signal itself. An empty message holds no
// record and ends a drain that meets it; the lines behind it wait for the
// next, which the queue's being readable brings at once.
void wake_up() {
    int saved = errno;
    if (mqd != (mqd_t)-1 && queue_pending() == 0) mq_send(mqd, "", 0, 0);
    errno = saved;
}
void on_stop(int) { stop_requested = 1, wake_up(); }
void on_hangup(int) { reopen_requested = 1, wake_up(); }
void on_file_event(int) { file_touched = true, wake_up(); }
void on_tick(int) { wake_up(); }

constexpr int kRetryMs = 250;       // how soon a failed drain is tried again
constexpr int kQueueCheckMs = 500;  // how often "/mqd" is looked at, and the tick

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

// SIGINT and SIGTERM stop, SIGHUP reopens, SIGIO tells of a change to the
// day's file, SIGALRM is the tick. While the drain sleeps in ppoll they are
// held back except in ppoll itself, so none slips in between a check and the
// wait; while it sleeps in a receive they are let through, and the empty
// message each posts ends the receive even when it came just before it began.
struct {
    sigset_t held, waiting;  // the signals caught; the mask within ppoll
    bool open = false;       // let through now
} signals;

void catch_signals() {
    struct sigaction action = {};
    action.sa_flags = SA_RESTART;
    const struct {
        int number;
        void (*handler)(int);
    } caught[] = {{SIGINT, on_stop},
                  {SIGTERM, on_stop},
                  {SIGHUP, on_hangup},
                  {SIGIO, on_file_event},
                  {SIGALRM, on_tick}};
    sigemptyset(&signals.held);
    for (const auto &c : caught) {
        action.sa_handler = c.handler;
        sigaction(c.number, &action, nullptr);
        sigaddset(&signals.held, c.number);
    }
    sigprocmask(SIG_BLOCK, &signals.held, &signals.waiting);
    for (const auto &c : caught) sigdelset(&signals.waiting, c.number);
}

// A receive's deadline is on the wall clock, right for midnight but moved
// when the clock is set back while the drain sleeps; the tick, on the
// monotonic clock, wakes it for its other checks (the queue's name) whatever
// the wall clock does.
void start_tick() {
    sigevent tick = {};
    tick.sigev_notify = SIGEV_SIGNAL;
    tick.sigev_signo = SIGALRM;
    timer_t timer;
    const itimerspec every = {{0, kQueueCheckMs * 1000000L}, {0, kQueueCheckMs * 1000000L}};
    if (timer_create(CLOCK_MONOTONIC, &tick, &timer) == 0) timer_settime(timer, 0, &every, nullptr);
}

void let_signals_through(bool open) {
    if (open == signals.open) return;
    sigprocmask(open ? SIG_UNBLOCK : SIG_BLOCK, &signals.held, nullptr);
    signals.open = open;
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

// A blocking descriptor of the queue mqd names, for the drain to sleep in: a
// wake-up that finds one line then costs the receive that brings it, the one
// that finds the queue empty and the write, as a bare blocking loop's does,
// where a ppoll adds a fourth call. Only while mqd can post the empty message
// that wakes it (wake_up); -1 otherwise.
struct {
    mqd_t queue = (mqd_t)-1;
} sleeper;

// Opens the sleeper on the queue mqd is now, after every set-up.
void open_sleeper() {
    if (sleeper.queue != (mqd_t)-1) mq_close(sleeper.queue);
    sleeper.queue = (mqd_t)-1;
    if (mqd == (mqd_t)-1 || (fcntl(mqd, F_GETFL) & O_ACCMODE) != O_RDWR) return;
    mqd_t named = mq_open(LOG_QUEUE_NAME, O_RDONLY);
    struct stat a, b;
    if (named != (mqd_t)-1 && fstat(mqd, &a) == 0 && fstat(named, &b) == 0 && a.st_ino == b.st_ino &&
        a.st_dev == b.st_dev)
        sleeper.queue = named;
    else if (named != (mqd_t)-1)
        mq_close(named);
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
    open_sleeper();
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
        if (watch.fd < 0 && (watch.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) >= 0) {
            fcntl(watch.fd, F_SETOWN, getpid());  // SIGIO on an event, for a drain asleep in a receive
            fcntl(watch.fd, F_SETFL, O_NONBLOCK | O_ASYNC);
        }
        if (watch.wd >= 0) inotify_rm_watch(watch.fd, watch.wd);
        watch.wd = inotify_add_watch(watch.fd, log_day.path, IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF);
        watch.dev = log_day.dev;
        watch.ino = log_day.ino;
        touched = true;  // the path may have changed before the watch began
    }
    return touched || watch.wd < 0;
}

// Sleeps in the sleeper until a line, a wake-up message or timeout_ms; a line
// is drained at once. A receive that fails otherwise (a line too long for
// us, say) closes the sleeper: the drain sleeps in ppoll, whose drain reports it.
void sleep_in_receive(int timeout_ms, bool &failing) {
    static char line[LOG_LINE_SIZE];
    unsigned int priority;
    timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    long ns = until.tv_nsec + (timeout_ms % 1000) * 1000000L;
    until.tv_sec += timeout_ms / 1000 + ns / 1000000000L;
    until.tv_nsec = ns % 1000000000L;
    ssize_t got = mq_timedreceive(sleeper.queue, line, sizeof line, &priority, &until);
    if (got > 0) failing = log_drain_with(path_needs_check(file_touched.exchange(false)), line, got, priority) < 0;
    if (got < 0 && errno != ETIMEDOUT && errno != EINTR) mq_close(sleeper.queue), sleeper.queue = (mqd_t)-1;
}

// What is pending goes to the file in use; then the queue and file are opened anew.
void reopen(const Settings &settings) {
    Log_Drain();
    set_up(settings);
    open_sleeper();
}

}  // namespace

int follow(const Settings &settings) {
    catch_signals();
    start_tick();
    bool failing = log_write() < 0;
    open_sleeper();
    std::fflush(stdout);  // a service's block shows at once, not at exit
    notify("READY=1");

    time_t rollover = next_midnight();
    long queue_checked = tools::monotonic_ms(CLOCK_MONOTONIC_COARSE);
    while (!stop_requested) {
        // While the last drain failed, the queue is left alone and the drain
        // retried; while a removed queue is still drained, both are polled.
        int timeout = failing ? kRetryMs : ms_until(rollover);
        bool in_receive = sleeper.queue != (mqd_t)-1 && !failing && replaced.queue == (mqd_t)-1;
        let_signals_through(in_receive);
        bool touched = false;
        if (in_receive) {
            sleep_in_receive(timeout, failing);
        } else {
            pollfd ready_fds[3] = {{mqd, POLLIN, 0}, {replaced.queue, POLLIN, 0}, {watch.fd, POLLIN, 0}};
            timespec wait = {timeout / 1000, (timeout % 1000) * 1000000L};
            int ready = ppoll(ready_fds, failing || mqd == (mqd_t)-1 ? 0 : 3, &wait, &signals.waiting);
            if (ready < 0 && errno != EINTR) {
                std::fprintf(stderr, "tembra-drain: poll(): %s\n", strerror(errno));
                return 1;
            }
            touched = ready > 0 && ready_fds[2].revents != 0;
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
        if (in_receive) continue;  // its line is drained
        bool check = failing || path_needs_check(file_touched.exchange(false) || touched);
        failing = mqd == (mqd_t)-1 || log_drain(check) < 0;
    }
    let_signals_through(false);
    // A wake-up message left in the queue ends a drain early; lines behind it go too.
    for (int round = 0; round < 8 && Log_Drain() >= 0 && queue_pending() > 0; ++round) {
    }
    return 0;
}
