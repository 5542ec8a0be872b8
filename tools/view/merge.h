// The time-ordered merge of the day files: one stream per level and file,
// each already in time order, merged by timestamp with bounded memory.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "reader/dayfile.h"
#include "settings.h"

namespace view {

// The files to read for these paths: the day files of each directory in
// date order, files as given. A path that cannot be read is an error.
std::vector<std::string> files_of(const std::vector<std::string> &paths, std::string &error);

// A shown record with the time it is shown at and the file it is from.
using Emit = std::function<bool(const dayfile::Record &, time_t, const std::string &file)>;

class Merge {
  public:
    // With snapshot, the last file is read only up to its present size and
    // an incomplete record at its end is left for a follower.
    Merge(const Settings &settings, std::vector<std::string> files, bool snapshot);
    ~Merge();
    // Calls emit for each shown record in time order (equal times in file
    // order) until it returns false; false when a file could not be read.
    bool run(const Emit &emit);
    // Where a follower takes over: just after the last whole record of the last file.
    dayfile::Position end() const;

  private:
    struct Stream;
    bool open(Stream &stream, uint64_t offset);
    bool advance(Stream &stream);

    const Settings &settings_;
    std::vector<std::string> files_;
    std::vector<std::unique_ptr<Stream>> streams_;
    dayfile::Position end_;
    bool failed_ = false;
};

}  // namespace view
