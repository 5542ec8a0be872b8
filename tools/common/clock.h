// Time as the tools write and compute it: RFC 3339 text with the zone's
// offset, local midnights that know about summer time, monotonic deadlines.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace tools {

// "2026-12-08T10:00:00+01:00" in local time, or "2026-12-08T09:00:00Z" with utc.
std::string rfc3339(time_t t, bool utc = false);

// The local midnight that starts t's day, moved by days (-1 yesterday's, 1 the next).
time_t local_midnight(time_t t, int days = 0);

// Milliseconds on a monotonic clock, for deadlines and intervals; the coarse
// clock is cheaper where a tick of a few milliseconds does not matter.
int64_t monotonic_ms(clockid_t clock = CLOCK_MONOTONIC);

}  // namespace tools
