// A clock the tests can stop or break: the logger's gettimeofday calls are
// routed here at link time (-Wl,--wrap=gettimeofday).
#pragma once

#include <ctime>
#include <optional>

namespace fake_clock {
inline bool fail = false;                 // gettimeofday reports an error
inline std::optional<time_t> now;         // seconds to report instead of the real time
struct Scope {
    ~Scope() { fail = false, now.reset(); }
};
}  // namespace fake_clock
