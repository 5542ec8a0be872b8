// RFC 3339 text and local midnights, for every tool that shows or waits for a time.
#include "common/clock.h"

#include <cstdio>

namespace tools {

std::string rfc3339(time_t t, bool utc) {
    tm broken;
    if (utc) gmtime_r(&t, &broken);
    else localtime_r(&t, &broken);
    char text[48];
    size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &broken);
    if (utc) {
        snprintf(text + n, sizeof text - n, "Z");
        return text;
    }
    long offset = broken.tm_gmtoff, magnitude = offset < 0 ? -offset : offset;
    snprintf(text + n, sizeof text - n, "%c%02ld:%02ld", offset < 0 ? '-' : '+', magnitude / 3600,
             magnitude / 60 % 60);
    return text;
}

time_t local_midnight(time_t t, int days) {
    tm local;
    localtime_r(&t, &local);
    local.tm_mday += days;
    local.tm_hour = local.tm_min = local.tm_sec = 0;
    local.tm_isdst = -1;
    return mktime(&local);
}

int64_t monotonic_ms(clockid_t clock) {
    timespec now;
    clock_gettime(clock, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

}  // namespace tools
