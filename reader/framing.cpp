// Where a record ends: a record runs from a head row to the first row ending
// in " (TYPE) \n"; rows between are part of it whatever they look like. A
// head that finds no ending within kMaxRecord bytes, or before the data is
// final, stands alone as a line that is not a record.
#include <cstring>

#include "reader/frame.h"

namespace dayfile::frame {

namespace {

// The newline at or after from and before limit (or data's end), or npos.
size_t row_end(std::string_view data, size_t from, size_t limit) {
    size_t len = std::min(data.size(), limit) - from;
    const void *nl = memchr(data.data() + from, '\n', len);
    return nl ? (size_t)((const char *)nl - data.data()) : npos;
}

Cut unframed(size_t length) { return {length, false, 0, 0}; }

// A head row of head_row bytes without an ending: the record's later rows.
Cut continued(std::string_view data, size_t head_row, size_t head, bool final) {
    for (size_t from = head_row; from < kMaxRecord;) {
        size_t nl = row_end(data, from, kMaxRecord);
        if (nl == npos) return data.size() < kMaxRecord && !final ? Cut{} : unframed(head_row);
        size_t tail = tail_start(data.substr(from, nl + 1 - from));
        if (tail != npos) return {nl + 1, true, head, from + tail};
        from = nl + 1;
    }
    return unframed(head_row);
}

}  // namespace

Cut cut(std::string_view data, bool final) {
    size_t nl = row_end(data, 0, data.size());
    if (nl == npos) return final ? unframed(data.size()) : Cut{};
    std::string_view row = data.substr(0, nl + 1);
    size_t head = head_length(row);
    if (head == 0) return unframed(row.size());
    size_t tail = tail_start(row);
    if (tail == npos) return continued(data, row.size(), head, final);
    return tail >= head ? Cut{row.size(), true, head, tail} : unframed(row.size());
}

}  // namespace dayfile::frame
