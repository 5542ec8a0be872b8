// Starting the real programs and waiting, shared by the test bed and the
// benchmarks.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace proc {

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

}  // namespace proc
