// The test bed's namespaces, its child-process runner and its raw queue access.
#include "testbed.h"

#include "collector.h"
#include "process.h"
#include "sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <mqueue.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <regex>

namespace bed {

namespace {

void die(const char *what) {
    std::fprintf(stderr, "test bed: %s: %s\n", what, strerror(errno));
    std::exit(1);
}

void drain_fd(int fd, std::string &into) {
    char buf[65536];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) into.append(buf, (size_t)n);
}

// Collects both pipes until the child closes them, feeding input meanwhile.
Output collect(pid_t pid, int out_fd, int err_fd, int in_fd, const std::string &input) {
    Output result;
    size_t fed = 0;
    if (in_fd >= 0 && input.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    while (out_fd >= 0 || err_fd >= 0) {
        pollfd fds[3] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}, {in_fd, POLLOUT, 0}};
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            die("poll");
        }
        if (fds[0].revents) {
            size_t before = result.out.size();
            drain_fd(out_fd, result.out);
            if (result.out.size() == before) close(out_fd), out_fd = -1;
        }
        if (fds[1].revents) {
            size_t before = result.err.size();
            drain_fd(err_fd, result.err);
            if (result.err.size() == before) close(err_fd), err_fd = -1;
        }
        if (in_fd >= 0 && fds[2].revents) {
            ssize_t n = write(in_fd, input.data() + fed, input.size() - fed);
            if (n > 0) fed += (size_t)n;
            if (n < 0 || fed == input.size()) close(in_fd), in_fd = -1;
        }
    }
    if (in_fd >= 0) close(in_fd);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

void exec_program(const std::vector<std::string> &argv, const std::vector<std::string> &env) {
    for (const std::string &kv : env) putenv(strdup(kv.c_str()));
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    std::string path = bin(argv.at(0));
    execv(path.c_str(), args.data());
    std::perror(path.c_str());
}

struct Launched {
    pid_t pid;
    int out, err, in;
};

// Forks a child with its stdin, stdout and stderr on pipes.
template <typename Child>
Launched launch(Child child) {
    int out[2], err[2], in[2];
    if (pipe(out) || pipe(err) || pipe(in)) die("pipe");
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) die("fork");
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {out[0], out[1], err[0], err[1], in[0], in[1]}) close(fd);
        child();
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    close(in[0]);
    signal(SIGPIPE, SIG_IGN);
    return {pid, out[0], err[0], in[1]};
}

template <typename Child>
Output spawn(Child child, const std::string &input) {
    Launched l = launch(child);
    return collect(l.pid, l.out, l.err, l.in, input);
}

}  // namespace

Output in_child(const std::function<int()> &fn, const std::string &input) {
    return spawn(
        [&] {
            int status = fn();
            std::fflush(nullptr);
            _exit(status);
        },
        input);
}

std::string bin(const std::string &name) { return proc::program(name); }

Output run(const std::vector<std::string> &argv, const std::vector<std::string> &env,
           const std::string &input) {
    return spawn([&] { exec_program(argv, env); }, input);
}

Background start(const std::vector<std::string> &argv, const std::vector<std::string> &env) {
    Launched l = launch([&] { exec_program(argv, env); });
    close(l.in);
    return {l.pid, l.out, l.err};
}

Output finish(Background &running, int signal) {
    if (signal != 0) kill(running.pid, signal);
    Output result = collect(running.pid, running.out, running.err, -1, "");
    running = Background{};
    return result;
}

bool wait_for(const std::function<bool()> &ready, int timeout_ms) { return proc::wait_for(ready, timeout_ms); }

void remove_log_dir() {
    if (DIR *dir = opendir(kDir.c_str())) {
        while (dirent *entry = readdir(dir)) {
            if (entry->d_name[0] != '.') unlink((kDir + entry->d_name).c_str());
        }
        closedir(dir);
    }
    rmdir(kDir.c_str());
}

void unlink_queue() { mq_unlink(LOG_QUEUE_NAME); }

void reset() {
    unlink_queue();
    remove_log_dir();
    if (mkdir(kDir.c_str(), 0755) != 0) die("mkdir /var/log/Tembra");
}

std::vector<Message> take_all() {
    std::vector<Message> messages;
    mqd_t q = mq_open(LOG_QUEUE_NAME, O_RDONLY | O_NONBLOCK);
    if (q == (mqd_t)-1) return messages;
    mq_attr attr{};
    mq_getattr(q, &attr);
    std::string buf((size_t)attr.mq_msgsize, '\0');
    unsigned int priority;
    ssize_t n;
    while ((n = mq_receive(q, buf.data(), buf.size(), &priority)) >= 0) {
        messages.push_back({buf.substr(0, (size_t)n), priority});
    }
    mq_close(q);
    return messages;
}

void post(const std::string &bytes, unsigned int priority) {
    mqd_t q = mq_open(LOG_QUEUE_NAME, O_WRONLY | O_CREAT | O_NONBLOCK, 0600, nullptr);
    if (q == (mqd_t)-1 || mq_send(q, bytes.data(), bytes.size(), priority) != 0) die("post");
    mq_close(q);
}

bool create_queue_as_stranger(mode_t mode) {
    pid_t pid = fork();
    if (pid == 0) {
        umask(0);
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(77);
        mqd_t q = mq_open(LOG_QUEUE_NAME, O_RDWR | O_CREAT, mode, nullptr);
        _exit(q == (mqd_t)-1 ? 1 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool make_queue(uid_t owner, gid_t group, mode_t mode) {
    mqd_t q = sandbox_create_queue(4, 256);
    bool made = q != (mqd_t)-1 && fchown(q, owner, group) == 0 && fchmod(q, mode) == 0;
    if (q != (mqd_t)-1) mq_close(q);
    return made;
}

std::vector<std::string> as_user(unsigned uid, std::vector<std::string> argv, const std::string &groups) {
    if (uid == 0) return argv;
    argv[0] = bin(argv[0]);
    std::string id = std::to_string(uid);
    argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id,
                               groups.empty() ? "--clear-groups" : "--groups=" + groups});
    return argv;
}

bool can_raise_mqueue_limit() {
    int fd = open("/proc/sys/fs/mqueue/msg_max", O_WRONLY | O_CLOEXEC);
    if (fd >= 0) close(fd);
    return fd >= 0;
}

bool can_make_network_namespace() {
    static const bool can = in_child([] { return collector::enter_network() ? 0 : 1; }).status == 0;
    return can;
}

bool can_open_pty() {
    static const bool can = [] {
        int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0) return false;
        const char *name = grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
        int slave = name ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
        if (slave >= 0) close(slave);
        close(master);
        return slave >= 0;
    }();
    return can;
}

bool matches(const std::string &text, const std::string &pattern) {
    return std::regex_match(text, std::regex(pattern));
}

std::string utc_text(time_t t, const char *layout) {
    char buf[64];
    tm utc;
    gmtime_r(&t, &utc);
    strftime(buf, sizeof buf, layout, &utc);
    return buf;
}

std::string log_file_name() {
    std::string name;
    if (DIR *dir = opendir(kDir.c_str())) {
        while (dirent *entry = readdir(dir)) {
            if (entry->d_name[0] != '.') name = entry->d_name;
        }
        closedir(dir);
    }
    return name;
}

std::string log_contents() {
    std::string name = log_file_name();
    return name.empty() ? "" : read_file(kDir + name);
}

std::string line_pattern(const std::string &level, const std::string &type,
                         const std::string &message_regex) {
    return "\\[" + level + "\\] [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} " +
           message_regex + " \\(" + type + "\\) \n";
}

}  // namespace bed

int main(int argc, char **argv) {
    bool listing = false;
    for (int i = 1; i < argc; ++i) listing |= strcmp(argv[i], "--gtest_list_tests") == 0;
    if (!listing) sandbox_enter();
    // Queue memory (RLIMIT_MSGQUEUE) is counted per user across the machine, so
    // queues of other processes of the same user could make a test's mq_open fail
    // with EMFILE. Root gives its tests room of their own; other users cannot.
    const rlim_t room = 1L << 30;
    rlimit limit{};
    if (!listing && geteuid() == 0 && getrlimit(RLIMIT_MSGQUEUE, &limit) == 0 && limit.rlim_cur < room) {
        limit.rlim_cur = room;
        limit.rlim_max = std::max(limit.rlim_max, room);
        setrlimit(RLIMIT_MSGQUEUE, &limit);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
