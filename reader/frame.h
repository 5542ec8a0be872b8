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

// Where the next record (or line that is not one) at the start of data ends.
struct Cut {
    size_t length = 0;  // 0: more bytes are needed to tell
    bool framed = false;
    size_t head = 0, tail = 0;  // for fill(), when framed
};
// With final, no more bytes will follow data.
Cut cut(std::string_view data, bool final);

}  // namespace dayfile::frame
