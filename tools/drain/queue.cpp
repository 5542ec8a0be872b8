// Creating "/mqd" as deep as the system lets this process: fs.mqueue.msg_max
// caps the depth, RLIMIT_MSGQUEUE the bytes of all of this user's queues.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <string>

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

}  // namespace

void create_queue(long depth) {
    rlim_t bytes = raise_byte_limit(depth);
    std::string why;
    for (long n = depth;;) {
        int error = try_create(LOG_QUEUE_NAME, n);
        if (error == EEXIST) return;
        if (error == 0) {
            if (n < depth)
                std::fprintf(stderr, "tembra-drain: created /mqd %ld lines deep, not %ld: %s\n", n, depth,
                             why.c_str());
            return;
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
            return;
        }
        n = fitting;
        why = "this user's queues may hold " + std::to_string((unsigned long long)bytes) +
              " bytes (RLIMIT_MSGQUEUE)";
    }
}

bool set_up(const Settings &settings) {
    create_queue(settings.depth);
    Log_Init();
    return mqd != (mqd_t)-1 && logfile != nullptr;
}
