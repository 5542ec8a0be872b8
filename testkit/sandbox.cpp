// Entering the private namespaces (a user namespace too when not root).
#include "sandbox.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "logger/line_format.h"

namespace {

void die(const char *what) {
    std::fprintf(stderr, "sandbox: %s: %s\n", what, strerror(errno));
    std::exit(1);
}

void write_file(const char *path, const std::string &text) {
    int fd = open(path, O_WRONLY);
    if (fd < 0 || write(fd, text.data(), text.size()) != (ssize_t)text.size()) die(path);
    close(fd);
}

}  // namespace

void sandbox_enter() {
    uid_t uid = geteuid();
    gid_t gid = getegid();
    int flags = CLONE_NEWIPC | CLONE_NEWNS;
    if (uid != 0) flags |= CLONE_NEWUSER;
    if (unshare(flags) != 0) die("unshare");
    if (uid != 0) {
        write_file("/proc/self/setgroups", "deny");
        write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
        write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) die("private mounts");
    // A queue file system at /dev/mqueue (systemd mounts one) shows the machine's
    // queues, not this namespace's: take it away, or cover it where it is locked.
    if (umount2("/dev/mqueue", MNT_DETACH) != 0 && errno != EINVAL && errno != ENOENT)
        mount("mqueue", "/dev/mqueue", "mqueue", 0, nullptr);
    if (mount("tembra-sandbox", "/var/log", "tmpfs", 0, "mode=0755") != 0) die("tmpfs on /var/log");
    if (mkdir("/var/log/Tembra", 0755) != 0) die("mkdir /var/log/Tembra");
}

bool sandbox_raise_limit(const char *name, long value) {
    std::string path = std::string("/proc/sys/fs/mqueue/") + name;
    long current = 0;
    if (std::FILE *f = std::fopen(path.c_str(), "r")) {
        if (std::fscanf(f, "%ld", &current) != 1) current = 0;
        std::fclose(f);
    }
    if (value <= current) return true;
    int fd = open(path.c_str(), O_WRONLY);
    std::string text = std::to_string(value);
    bool raised = fd >= 0 && write(fd, text.data(), text.size()) == (ssize_t)text.size();
    if (fd >= 0) close(fd);
    return raised;
}

mqd_t sandbox_create_queue(long maxmsg, long msgsize) {
    sandbox_raise_limit("msg_max", maxmsg);
    sandbox_raise_limit("msgsize_max", msgsize);
    mq_attr attr{};
    attr.mq_maxmsg = maxmsg;
    attr.mq_msgsize = msgsize;
    return mq_open(LOG_QUEUE_NAME, O_RDWR | O_CREAT | O_NONBLOCK, 0600, &attr);
}

long sandbox_pending() {
    mqd_t q = mq_open(LOG_QUEUE_NAME, O_RDONLY | O_NONBLOCK);
    if (q == (mqd_t)-1) return -1;
    mq_attr attr{};
    mq_getattr(q, &attr);
    mq_close(q);
    return attr.mq_curmsgs;
}

void sandbox_private_dev_log(const char *socket) {
    const std::string host = "/var/log/host-dev";
    mkdir(host.c_str(), 0755);
    if (mount("/dev", host.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) die("bind /dev");
    if (mount("sandbox-dev", "/dev", "tmpfs", MS_NOSUID, "mode=0755") != 0) die("tmpfs on /dev");
    for (const char *name : {"null", "zero", "full", "random", "urandom"}) {
        std::string node = std::string("/dev/") + name;
        close(open(node.c_str(), O_WRONLY | O_CREAT, 0666));
        if (mount((host + "/" + name).c_str(), node.c_str(), nullptr, MS_BIND, nullptr) != 0) die(node.c_str());
    }
    if (symlink(socket, "/dev/log") != 0) die("/dev/log");
}
