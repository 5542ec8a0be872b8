// Starting the real programs, waiting for them and for a condition, for the
// tests' bed and the benchmarks alike.
#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

namespace proc {

double seconds() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

void redirect(int fd, const std::string &path) {
    int to = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(to, fd);
    close(to);
}

std::string program(const std::string &name) {
    return name.starts_with("/") ? name : std::string(TEMBRA_BIN_DIR) + "/" + name;
}

pid_t start(const std::vector<std::string> &argv, const std::string &out, const std::string &err, int *input,
            const std::function<void()> &before_exec) {
    int in[2] = {-1, -1};
    if (input && pipe(in) != 0) return -1;
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (input) {
            dup2(in[0], 0);
            close(in[0]);
            close(in[1]);
        }
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // nothing outlives the run
        redirect(1, out);
        redirect(2, err);
        if (before_exec) before_exec();
        std::vector<char *> args;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(program(argv.at(0)).c_str(), args.data());
        _exit(127);
    }
    if (input) {
        close(in[0]);
        *input = in[1];
    }
    return pid;
}

static int decode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

bool ended(pid_t pid, int *status) {
    int raw = 0;
    if (waitpid(pid, &raw, WNOHANG) != pid) return false;
    *status = decode(raw);
    return true;
}

int reap(pid_t pid, int timeout_ms) {
    int status = 0;
    if (wait_for([&] { return ended(pid, &status); }, timeout_ms)) return status;
    kill(pid, SIGKILL);
    int raw = 0;
    waitpid(pid, &raw, 0);
    return decode(raw);
}

bool wait_for(const std::function<bool()> &ready, int timeout_ms) {
    double deadline = seconds() + timeout_ms / 1000.0;
    while (seconds() < deadline) {
        if (ready()) return true;
        usleep(1000);
    }
    return ready();
}

}  // namespace proc
