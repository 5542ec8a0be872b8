// Making "/mqd" ours: created as deep as the system lets this process
// (fs.mqueue.msg_max caps the depth, RLIMIT_MSGQUEUE the bytes of all of this
// user's queues), open to the posters chosen, taken over from another user.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "common/queue_owner.h"

#include "logger/logger.h"
#include "logger/line_format.h"
#include "tools/drain/drain.h"

namespace {

constexpr long kMessageSize = LOG_LINE_SIZE;

// Creates name with depth lines; 0 or the errno of the refusal.
int try_create(const char *name, long depth) {
    mq_attr attr{};
    attr.mq_maxmsg = depth;
    attr.mq_msgsize = kMessageSize;
    mqd_t q = mq_open(name, O_RDWR | O_CREAT | O_EXCL | O_NONBLOCK, 0600, &attr);
    if (q == (mqd_t)-1) return errno;
    mq_close(q);
    return 0;
}

// The deepest queue, up to most, that the byte limit still lets us create,
// found with a queue of our own name so that "/mqd" never appears too small.
long deepest_fitting(long most) {
    const std::string probe = "/tembra-drain-probe." + std::to_string(getpid());
    long lo = 0, hi = most;
    while (lo < hi) {
        long mid = (lo + hi + 1) / 2;
        if (try_create(probe.c_str(), mid) == 0) {
            mq_unlink(probe.c_str());
            lo = mid;
        } else {
            hi = mid - 1;
        }
    }
    return lo;
}

long read_msg_max() {
    long value = 0;
    if (std::FILE *f = std::fopen("/proc/sys/fs/mqueue/msg_max", "r")) {
        if (std::fscanf(f, "%ld", &value) != 1) value = 0;
        std::fclose(f);
    }
    return value;
}

// Raises RLIMIT_MSGQUEUE, which counts all of this user's queues: by what
// depth lines need on top of the hard limit where allowed (CAP_SYS_RESOURCE),
// else the soft limit up to the hard one. Returns the soft limit afterwards.
rlim_t raise_byte_limit(long depth) {
    rlimit limit{};
    if (getrlimit(RLIMIT_MSGQUEUE, &limit) != 0) return 0;
    // A generous guess at the kernel's share per message, besides its text.
    rlim_t wanted = limit.rlim_max == RLIM_INFINITY ? RLIM_INFINITY
                                                    : limit.rlim_max + (rlim_t)depth * (kMessageSize + 256);
    rlimit raised = {wanted, wanted};
    if (setrlimit(RLIMIT_MSGQUEUE, &raised) == 0) return raised.rlim_cur;
    raised = {limit.rlim_max, limit.rlim_max};
    if (setrlimit(RLIMIT_MSGQUEUE, &raised) == 0) return raised.rlim_cur;
    return limit.rlim_cur;
}

// Says a line on standard error unless it was said before: set-up runs again
// and again while following, and a lasting refusal is news only once.
void say_once(const std::string &line) {
    static std::set<std::string> said;
    if (said.insert(line).second) std::fprintf(stderr, "tembra-drain: %s\n", line.c_str());
}

mode_t mode_of(const Posters &posters) {
    switch (posters.kind) {
    case Posters::kAll: return 0622;
    case Posters::kGroup: return 0620;
    default: return 0600;
    }
}

// Gives our queue the posters' group and mode, whatever the umask.
void apply_posters(mqd_t q, const Posters &posters) {
    if (posters.kind == Posters::kGroup && fchown(q, (uid_t)-1, posters.group) != 0)
        say_once(std::string("cannot give " LOG_QUEUE_NAME " to group ") + group_name(posters.group) + ": " +
                 strerror(errno) + " (the drain needs to be in it, or CAP_CHOWN)");
    if (fchmod(q, mode_of(posters)) != 0)
        say_once(std::string("cannot set the mode of " LOG_QUEUE_NAME ": ") + strerror(errno));
}

// "/mqd" as another user (not root) made it: a producer that started before
// the drain. Its name is removed at once, so that our own queue takes it; its
// lines are moved there once that is open.
struct Stranger {
    mqd_t queue = (mqd_t)-1;  // the old queue, open to read, or -1 when there is none
    uid_t uid = 0;
    bool refused = false;     // there is one, and it may not be taken over (said)
};

Stranger take_over() {
    Stranger stranger;
    QueueOwner owner = find_queue_owner();
    if (owner.found != QueueOwner::kKnown || owner.uid == geteuid() || owner.uid == 0) return stranger;
    stranger.uid = owner.uid;
    stranger.queue = mq_open(LOG_QUEUE_NAME, O_RDONLY | O_NONBLOCK);
    if (stranger.queue != (mqd_t)-1 && mq_unlink(LOG_QUEUE_NAME) == 0) return stranger;
    int error = errno;
    if (stranger.queue != (mqd_t)-1) mq_close(stranger.queue);
    stranger.queue = (mqd_t)-1;
    stranger.refused = true;
    std::string name = user_name(owner.uid);
    say_once(std::string("cannot take over " LOG_QUEUE_NAME " from ") + name + " (uid " + std::to_string(owner.uid) +
             "): " + strerror(error) + "; run the drain as root with CAP_DAC_READ_SEARCH (as "
             "tembra-drain.service does), or drain it as " + name + " (sudo -u " + name +
             " tembra-drain) and remove it (sudo rm " + owner.file + ")");
    return stranger;
}

// Moves the old queue's lines, at their own priority, into ours (mqd).
void move_lines(const Stranger &stranger) {
    mq_attr attr{};
    mq_getattr(stranger.queue, &attr);
    std::vector<char> line(attr.mq_msgsize > 0 ? (size_t)attr.mq_msgsize : (size_t)kMessageSize);
    long moved = 0, lost = 0;
    int why = 0;
    unsigned int priority;
    for (ssize_t n; (n = mq_receive(stranger.queue, line.data(), line.size(), &priority)) >= 0;) {
        if (mqd != (mqd_t)-1 && mq_send(mqd, line.data(), (size_t)n, priority) == 0) {
            ++moved;
        } else {
            ++lost;
            why = mqd == (mqd_t)-1 ? EBADF : errno;
        }
    }
    mq_close(stranger.queue);
    std::string said = std::string(LOG_QUEUE_NAME " was made by ") + user_name(stranger.uid) + " (uid " +
                       std::to_string(stranger.uid) + "): took its " + std::to_string(moved) +
                       (moved == 1 ? " line" : " lines") + " and made it anew as " + user_name(geteuid()) + "'s";
    if (lost > 0) said += "; " + std::to_string(lost) + " lost: " + strerror(why);
    std::fprintf(stderr, "tembra-drain: %s\n", said.c_str());
}

}  // namespace

bool create_queue(long depth) {
    rlim_t bytes = raise_byte_limit(depth);
    std::string why;
    for (long n = depth;;) {
        int error = try_create(LOG_QUEUE_NAME, n);
        if (error == EEXIST) return false;
        if (error == 0) {
            if (n < depth)
                std::fprintf(stderr, "tembra-drain: created /mqd %ld lines deep, not %ld: %s\n", n, depth,
                             why.c_str());
            return true;
        }
        long msg_max = read_msg_max();
        if (error == EINVAL && msg_max > 0 && n > msg_max) {
            n = msg_max;
            why = "fs.mqueue.msg_max is " + std::to_string(msg_max);
            continue;
        }
        long fitting = error == EMFILE || error == ENOMEM ? deepest_fitting(n - 1) : 0;
        if (fitting == 0) {
            // Log_Init will try again with the system's defaults and say why it fails.
            std::fprintf(stderr, "tembra-drain: cannot create /mqd %ld lines deep: %s\n", n, strerror(error));
            return false;
        }
        n = fitting;
        why = "this user's queues may hold " + std::to_string((unsigned long long)bytes) +
              " bytes (RLIMIT_MSGQUEUE)";
    }
}

bool set_up(const Settings &settings) {
    Stranger stranger = settings.follow ? take_over() : Stranger{};
    if (stranger.refused) return false;
    bool created = create_queue(settings.depth);
    Log_Init();
    // A queue we may post to but not read (root's, the system drain's) is no drain's.
    bool readable = mqd != (mqd_t)-1 && (fcntl(mqd, F_GETFL) & O_ACCMODE) != O_WRONLY;
    if (readable && (created || settings.posters.given)) apply_posters(mqd, settings.posters);
    if (stranger.queue != (mqd_t)-1) move_lines(stranger);
    if (!readable) {
        std::string hint = queue_owner_hint(true);
        if (!hint.empty()) say_once(hint);
    }
    return readable && logfile != nullptr;
}
