// The owner of "/mqd", found through a descriptor when the queue's mode lets
// us open it, else through its file on the mounted queue file system.
#include "common/queue_owner.h"

#include <errno.h>
#include <fcntl.h>
#include <mntent.h>
#include <mqueue.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

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

enum class Owner { None, Known, Unknown };

Owner find_owner(const std::string &mount, uid_t &uid) {
    struct stat st;
    mqd_t q = mq_open(kQueue, O_RDONLY | O_NONBLOCK);
    if (q != (mqd_t)-1) {
        bool ok = fstat(q, &st) == 0;
        mq_close(q);
        if (!ok) return Owner::None;
        uid = st.st_uid;
        return Owner::Known;
    }
    if (errno != EACCES) return Owner::None;
    if (mount.empty() || stat((mount + kQueue).c_str(), &st) != 0) return Owner::Unknown;
    uid = st.st_uid;
    return Owner::Known;
}

std::string user_name(uid_t uid) {
    if (passwd *pw = getpwuid(uid)) return pw->pw_name;
    return "uid " + std::to_string(uid);
}

}  // namespace

bool report_queue_owner(const char *tool) {
    std::string mount = queue_mount();
    uid_t owner = 0;
    Owner found = find_owner(mount, owner);
    if (found == Owner::None || (found == Owner::Known && owner == geteuid())) return false;
    std::string file = (mount.empty() ? std::string("/dev/mqueue") : mount) + kQueue;
    if (found == Owner::Unknown) {
        std::fprintf(stderr,
                     "%s: the queue %s belongs to another user; to see whom, mount the queue file "
                     "system (sudo mount -t mqueue none /dev/mqueue), then drain the queue as that "
                     "user and remove it (sudo rm %s)\n",
                     tool, kQueue, file.c_str());
        return true;
    }
    std::string name = user_name(owner), me = user_name(geteuid());
    std::fprintf(stderr,
                 "%s: the queue %s belongs to %s (uid %u), not to %s; run as %s, or drain it as %s "
                 "(sudo -u %s tembra-drain) and remove it (sudo rm %s)\n",
                 tool, kQueue, name.c_str(), (unsigned)owner, me.c_str(), name.c_str(), name.c_str(),
                 name.c_str(), file.c_str());
    return true;
}
