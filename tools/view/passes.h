// The hour that repeats when summer time ends, told apart by the records'
// order in their file: within a level the times only grow, so a level whose
// stamps in that hour go back has reached the second pass there. A level
// that never goes back is in the second pass after the last record that
// another level showed to be in the first.
#pragma once

#include <climits>
#include <cstdint>
#include <ctime>

#include "reader/dayfile.h"

namespace view {

class Passes {
  public:
    Passes();
    // Takes one record of the file, in the file's order.
    void observe(const dayfile::Record &record);
    // The time of a record observed already (or of any record after them all).
    time_t time_of(const dayfile::Record &record) const;

  private:
    static constexpr int kStreams = LOG_LEVEL_COUNT + 1;  // the levels, and every other record
    static constexpr uint64_t kNever = UINT64_MAX;
    static int stream_of(const dayfile::Record &record);

    uint64_t back_[kStreams];     // where each level went back, or kNever
    time_t high_[kStreams];       // each level's latest first-pass time so far
    uint64_t last_[kStreams];     // each level's last first-pass record
    uint64_t first_end_ = kNever; // the last record surely of the first pass
};

}  // namespace view
