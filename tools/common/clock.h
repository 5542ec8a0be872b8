// Time as the tools write and compute it: RFC 3339 text with the zone's
// offset, and local midnights that know about summer time.
#pragma once

#include <ctime>
#include <string>

namespace tools {

// "2026-12-08T10:00:00+01:00" in local time, or "2026-12-08T09:00:00Z" with utc.
std::string rfc3339(time_t t, bool utc = false);

// The local midnight that starts t's day, moved by days (-1 yesterday's, 1 the next).
time_t local_midnight(time_t t, int days = 0);

}  // namespace tools
