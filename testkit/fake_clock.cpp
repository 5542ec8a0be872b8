// The link-time wrapper behind fake_clock.h.
#include "fake_clock.h"

#include <errno.h>
#include <sys/time.h>

extern "C" int __real_gettimeofday(struct timeval *tv, void *tz);

extern "C" int __wrap_gettimeofday(struct timeval *tv, void *tz) {
    if (fake_clock::fail) {
        errno = EFAULT;
        return -1;
    }
    int rc = __real_gettimeofday(tv, tz);
    if (fake_clock::now) tv->tv_sec = *fake_clock::now, tv->tv_usec = 0;
    return rc;
}
