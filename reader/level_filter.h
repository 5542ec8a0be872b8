// The level filter's fast path: passing over everything that is not a record
// of one level without framing each record; internal to the day-file reader.
#pragma once

#include <string>
#include <string_view>

namespace dayfile::level_filter {

struct Level {
    std::string name;    // "WARN"
    std::string needle;  // "\n[WARN] "
};

Level of(int priority);
// Whether row starts "[NAME]".
bool starts(std::string_view row, const Level &level);
// Bytes at the start of data (which starts at a record's start) that surely
// hold no record of the level; 0 when it cannot tell.
size_t skippable(std::string_view data, const Level &level);

}  // namespace dayfile::level_filter
