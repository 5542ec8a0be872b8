// The pieces of a record's frame that the reader needs while it looks for
// where a record ends; internal to the day-file reader.
#pragma once

#include <string_view>

#include "reader/dayfile.h"

namespace dayfile::frame {

inline constexpr size_t npos = std::string_view::npos;

// Where the message starts if row begins "[LEVEL] YYYY-MM-DD hh:mm:ss ", else 0.
size_t head_length(std::string_view row);
// Where " (TYPE) \n" starts if row ends in it, else npos.
size_t tail_start(std::string_view row);
// Fills record from bytes whose head and tail were found at these places.
void fill(std::string_view bytes, size_t head, size_t tail, Record &record);

}  // namespace dayfile::frame
