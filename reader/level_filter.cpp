// Skipping other levels in bulk: one search for the next "\n[LEVEL] " row
// passes over whole records, and a one-row record of another level is told
// by its ending and first bytes alone.
#include "reader/level_filter.h"

#include <cstdint>
#include <cstring>

#include "reader/frame.h"

namespace dayfile::level_filter {

namespace {

// The first "\n[LEVEL] " in data: each newline's following bytes compared
// eight at a time, quicker here than memmem.
const char *find_row(std::string_view data, std::string_view needle) {
    uint64_t head;
    memcpy(&head, needle.data(), sizeof head);
    const char *p = data.data(), *end = p + data.size();
    while ((p = (const char *)memchr(p, '\n', (size_t)(end - p))) != nullptr) {
        if ((size_t)(end - p) < needle.size()) return nullptr;
        uint64_t here;
        memcpy(&here, p, sizeof here);
        if (here == head && memcmp(p + 8, needle.data() + 8, needle.size() - 8) == 0) return p;
        ++p;
    }
    return nullptr;
}

// The whole records before the next row that starts "[LEVEL] ", found by one
// search: a row ending in " (TYPE) \n" always ends what it is part of, so the
// row after it starts a record.
size_t before_next_head(std::string_view data, const Level &level) {
    const void *hit = find_row(data, level.needle);
    const void *last = hit ? hit : memrchr(data.data(), '\n', data.size());
    if (!last) return 0;
    size_t end = (size_t)((const char *)last - data.data());
    const void *before = end ? memrchr(data.data(), '\n', end) : nullptr;
    size_t row = before ? (size_t)((const char *)before - data.data()) + 1 : 0;
    return frame::tail_start(data.substr(row, end + 1 - row)) == frame::npos ? 0 : end + 1;
}

// A first row that ends a record of another level, or 0.
size_t other_one_row(std::string_view data, const Level &level) {
    const void *nl = memchr(data.data(), '\n', data.size());
    if (!nl) return 0;
    std::string_view row = data.substr(0, (size_t)((const char *)nl - data.data()) + 1);
    return frame::tail_start(row) != frame::npos && !starts(row, level) ? row.size() : 0;
}

}  // namespace

Level of(int priority) {
    Level level{level_name(priority), ""};
    level.needle = "\n[" + level.name + "] ";
    return level;
}

bool starts(std::string_view row, const Level &level) {
    size_t n = level.name.size();
    return row.size() > n + 2 && row[0] == '[' && row[n + 1] == ']' && memcmp(row.data() + 1, level.name.data(), n) == 0;
}

size_t skippable(std::string_view data, const Level &level) {
    if (starts(data, level)) return 0;
    size_t whole = before_next_head(data, level);
    return whole ? whole : other_one_row(data, level);
}

}  // namespace dayfile::level_filter
