// Whose "/mqd" is and who may post to it, found through a descriptor when its
// mode lets us open it, else through its file on the mounted queue file system.
#include "common/queue_owner.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <mntent.h>
#include <mqueue.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "logger/line_format.h"

namespace {

const char kQueue[] = LOG_QUEUE_NAME;

// Where the queue file system is mounted, or "" when it is not.
std::string queue_mount() {
    std::string dir;
    if (FILE *mounts = setmntent("/proc/self/mounts", "r")) {
        while (mntent *entry = getmntent(mounts)) {
            if (std::strcmp(entry->mnt_type, "mqueue") == 0) {
                dir = entry->mnt_dir;
                break;
            }
        }
        endmntent(mounts);
    }
    return dir;
}

bool stat_queue(const std::string &mount, struct stat &st) {
    for (int flags : {O_RDONLY, O_WRONLY}) {
        mqd_t q = mq_open(kQueue, flags | O_NONBLOCK);
        if (q != (mqd_t)-1) {
            bool ok = fstat(q, &st) == 0;
            mq_close(q);
            return ok;
        }
        if (errno != EACCES) return false;
    }
    return !mount.empty() && stat((mount + kQueue).c_str(), &st) == 0;
}

// Who may post to a queue of this owner, group and mode.
std::string posters(const QueueOwner &queue) {
    if (queue.mode & S_IWOTH) return "every user may post to it";
    if (queue.mode & S_IWGRP) return "only group " + group_name(queue.gid) + " may post to it";
    return "only " + user_name(queue.uid) + " may post to it";
}

// Root's queue is the system's drain's: it is never to be removed.
std::string system_queue_hint(const QueueOwner &queue, bool reader) {
    std::string said = std::string("the queue ") + kQueue + " is the system's drain's (root's), which alone reads it; " +
                       posters(queue);
    if (reader) return said + ": its lines reach " LOG_DIRECTORY " without another drain";
    if (queue.mode & S_IWOTH) return said;
    if (queue.mode & S_IWGRP)
        return said + ": ask an administrator to add you to group " + group_name(queue.gid) + " (then log in again)";
    return said + ": ask an administrator to let every user post (tembra-drain --posters=all) or a group "
                  "of yours (--posters=group:NAME)";
}

}  // namespace

std::string user_name(uid_t uid) {
    if (passwd *pw = getpwuid(uid)) return pw->pw_name;
    return "uid " + std::to_string(uid);
}

std::string group_name(gid_t gid) {
    if (group *gr = getgrgid(gid)) return gr->gr_name;
    return "gid " + std::to_string(gid);
}

QueueOwner find_queue_owner() {
    QueueOwner queue;
    std::string mount = queue_mount();
    queue.file = (mount.empty() ? std::string("/dev/mqueue") : mount) + kQueue;
    struct stat st;
    if (stat_queue(mount, st)) {
        queue.found = QueueOwner::kKnown;
        queue.uid = st.st_uid;
        queue.gid = st.st_gid;
        queue.mode = st.st_mode & 07777;
    } else if (errno == EACCES) {
        queue.found = QueueOwner::kUnknown;
    }
    return queue;
}

std::string queue_owner_hint(bool reader) {
    QueueOwner queue = find_queue_owner();
    if (queue.found == QueueOwner::kUnknown)
        return std::string("the queue ") + kQueue + " belongs to another user; to see whom and who may post, "
               "mount the queue file system (sudo mount -t mqueue none /dev/mqueue)";
    uid_t me = geteuid();
    if (queue.found == QueueOwner::kNone) return "";
    if (queue.uid == 0 && me != 0) return system_queue_hint(queue, reader);
    std::string owner = user_name(queue.uid);
    std::string said = std::string("the queue ") + kQueue + " belongs to " + owner + " (uid " +
                       std::to_string(queue.uid) + ")";
    if (queue.uid == me) return reader && !(queue.mode & S_IRUSR) ? said + ", whose mode does not let it be read" : "";
    said += ", not to " + user_name(me);
    return said + "; run as " + owner + ", or let the system's drain take it over (sudo systemctl start "
           "tembra-drain), or drain it as " + owner + " (sudo -u " + owner + " tembra-drain) and remove it (sudo rm " +
           queue.file + ")";
}

bool report_queue_owner(const char *tool, bool reader) {
    std::string hint = queue_owner_hint(reader);
    if (hint.empty()) return false;
    std::fprintf(stderr, "%s: %s\n", tool, hint.c_str());
    return true;
}
