// The time-ordered merge of the day files: one stream per level and file,
// each already in time order, merged by timestamp with bounded memory.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "files.h"
#include "reader/dayfile.h"
#include "settings.h"

namespace view {

// A shown record with the time it is shown at and the file it is from.
using Emit = std::function<bool(const dayfile::Record &, time_t, const std::string &file)>;

// Where the merge starts: files before file are left out, file is read from offset.
struct From {
    size_t file = 0;
    uint64_t offset = 0;  // a record's start
};

class Merge {
  public:
    // With snapshot, each plain file is read only up to its present size and
    // an incomplete record at its end is left for a follower.
    Merge(const Settings &settings, std::vector<std::string> files, bool snapshot, Notes &notes, From from = {});
    ~Merge();
    // Calls emit for each shown record in time order (equal times in file
    // order) until it returns false.
    void run(const Emit &emit);
    // Where a follower of each file takes over: just after its last whole record.
    const std::vector<dayfile::Position> &ends() const { return ends_; }
    // The earliest time of the records of the levels shown that were read.
    time_t earliest() const { return earliest_; }

  private:
    struct Stream;
    struct Repeat;
    bool open(Stream &stream, uint64_t offset);
    bool advance(Stream &stream);
    time_t time_of(const Stream &stream, const dayfile::Record &record);

    const Settings &settings_;
    std::vector<std::string> files_;
    Notes &notes_;
    std::vector<std::unique_ptr<Stream>> streams_;
    std::vector<dayfile::Position> ends_;
    std::vector<std::unique_ptr<Repeat>> repeats_;  // per file, once a repeated hour was met
    time_t earliest_ = LONG_MAX;
};

// The local midnight starting a day file's date, or 0 for another file.
time_t start_of(const std::string &path);

}  // namespace view
