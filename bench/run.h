// Starting and collecting the real programs for the load test and the fault
// run, and summing up repeated figures as a median with its range.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "sandbox.h"

namespace run {

// Seconds on the monotonic clock.
double seconds();

// Points fd at path (created, truncated); "/dev/null" discards.
void redirect(int fd, const std::string &path);

// A program from the build's bin/ directory, or an absolute path as it is.
std::string program(const std::string &name);

// Starts argv with stdout and stderr on these paths. With input set, *input
// receives the write end of a pipe on the program's stdin. before_exec runs
// in the child (a umask, a signal mask).
pid_t start(const std::vector<std::string> &argv, const std::string &out, const std::string &err,
            int *input = nullptr, const std::function<void()> &before_exec = {});

// Waits for pid up to timeout_ms, then kills it; the exit status, or 128 + signal.
int reap(pid_t pid, int timeout_ms = 10000);

// True once pid has ended (and is collected into *status).
bool ended(pid_t pid, int *status);

// Polls ready() every millisecond for up to timeout_ms.
bool wait_for(const std::function<bool()> &ready, int timeout_ms);

// Lines of "/mqd" now pending, or -1 when there is no queue.
inline long pending() { return sandbox_pending(); }

// "median (min-max)" of the figures, printed with the format of one figure.
std::string spread(std::vector<double> figures, const char *format = "%.0f");
double median(std::vector<double> figures);

}  // namespace run
