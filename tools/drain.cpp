// tembra-drain: takes the pending lines off "/mqd" into the day's log file,
// once, or as they arrive with --follow, rolling over to a new file at midnight.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "logger/logger.h"

namespace {

volatile sig_atomic_t stop_requested = 0;

void on_stop(int) { stop_requested = 1; }

const char kUsage[] =
    "usage: tembra-drain [--follow]\n"
    "  Appends every line pending in the queue /mqd to /var/log/Tembra/tembra-YYYYMMDD.log.\n"
    "  --follow   keep running, draining as lines arrive, until SIGINT or SIGTERM\n"
    "  --help     show this help\n"
    "  --version  show the version\n";

bool set_up() {
    Log_Init();
    return mqd != (mqd_t)-1 && logfile != nullptr;
}

// The next local midnight, as a point in time.
time_t next_midnight() {
    time_t now = time(nullptr);
    tm local;
    localtime_r(&now, &local);
    local.tm_mday += 1;
    local.tm_hour = local.tm_min = local.tm_sec = 0;
    local.tm_isdst = -1;
    return mktime(&local);
}

// Milliseconds from now until the deadline, at most a minute.
int ms_until(time_t deadline) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    long ms = (long)(deadline - now.tv_sec) * 1000 - now.tv_nsec / 1000000;
    return ms < 0 ? 0 : ms > 60000 ? 60000 : (int)ms;
}

int follow() {
    struct sigaction stop = {};
    stop.sa_handler = on_stop;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);

    Log_Write();
    std::fflush(stdout);
    time_t rollover = next_midnight();
    while (!stop_requested) {
        pollfd queue = {mqd, POLLIN, 0};
        int ready = poll(&queue, 1, ms_until(rollover));
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "tembra-drain: poll(): %s\n", strerror(errno));
            return 1;
        }
        if (ready > 0) Log_Drain();
        if (time(nullptr) >= rollover) {
            // What is pending now belongs to the old day's file; then reopen.
            Log_Drain();
            while (!set_up() && !stop_requested) sleep(1);
            rollover = next_midnight();
        }
    }
    Log_Drain();
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    bool follow_mode = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--follow" || arg == "-f") {
            follow_mode = true;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::puts("tembra-drain " TEMBRA_VERSION);
            return 0;
        } else {
            std::fprintf(stderr, "tembra-drain: unknown option '%s'\n%s", argv[i], kUsage);
            return 2;
        }
    }
    if (!set_up()) return 1;
    if (follow_mode) return follow();
    Log_Write();
    return 0;
}
