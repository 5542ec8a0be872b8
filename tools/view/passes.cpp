// Telling the two passes of a repeated hour apart, record by record.
#include "passes.h"

#include <algorithm>
#include <iterator>

namespace view {

Passes::Passes() {
    std::fill(std::begin(back_), std::end(back_), kNever);
    std::fill(std::begin(high_), std::end(high_), LONG_MIN);
    std::fill(std::begin(last_), std::end(last_), kNever);
}

int Passes::stream_of(const dayfile::Record &r) {
    return r.framed && r.priority >= 0 && r.priority <= LOG_PRIORITY_MAX ? r.priority : LOG_LEVEL_COUNT;
}

void Passes::observe(const dayfile::Record &r) {
    if (!r.framed || !r.repeated) return;
    int p = stream_of(r);
    if (back_[p] != kNever) return;
    if (r.time >= high_[p]) {
        last_[p] = r.offset;
        high_[p] = r.time;
        return;
    }
    back_[p] = r.offset;
    first_end_ = first_end_ == kNever ? last_[p] : std::max(first_end_, last_[p]);
}

time_t Passes::time_of(const dayfile::Record &r) const {
    if (!r.framed || !r.repeated) return r.time;
    int p = stream_of(r);
    bool second = back_[p] != kNever ? r.offset >= back_[p] : first_end_ != kNever && r.offset > first_end_;
    time_t later = second ? dayfile::repeated_time(r.stamp) : -1;
    return later == -1 ? r.time : later;
}

}  // namespace view
