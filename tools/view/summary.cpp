// What exists: the day files' total size (--disk-usage), or each file with
// its size, its records' first and last times and its records per level
// (--header).
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdio>

#include "common/clock.h"
#include "run.h"

namespace view {

namespace {

std::string human(uint64_t bytes) {
    const char *units = "BKMGT";
    double size = (double)bytes;
    int unit = 0;
    while (size >= 1024 && unit < 4) size /= 1024, ++unit;
    char text[32];
    std::snprintf(text, sizeof text, unit ? "%.1f%c" : "%.0f%c", size, units[unit]);
    return text;
}

uint64_t size_of(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (uint64_t)st.st_size : 0;
}

// One line: the file, its size, its first and last times, its records per level.
bool describe(const std::string &path, bool utc, Notes &notes) {
    dayfile::Reader reader;
    if (!reader.open(path)) return notes.reader_error(path, reader.error()), false;
    long counts[LOG_LEVEL_COUNT] = {}, other = 0;
    time_t first = LONG_MAX, last = LONG_MIN;
    dayfile::Record r;
    dayfile::Got got;
    while ((got = reader.next(r)) == dayfile::Got::Record) {
        bool known = r.framed && r.priority >= 0 && r.priority <= LOG_PRIORITY_MAX;
        ++(known ? counts[r.priority] : other);
        if (r.framed) first = std::min(first, r.time), last = std::max(last, r.time);
    }
    if (got == dayfile::Got::Error) notes.reader_error(path, reader.error());
    std::string line = path + "  " + human(size_of(path)) + "  ";
    line += first == LONG_MAX ? "no records" : tools::rfc3339(first, utc) + " .. " + tools::rfc3339(last, utc);
    for (int p = LOG_PRIORITY_MAX; p >= 0; --p) line += "  " + std::string(LogLevelText[p]) + " " + std::to_string(counts[p]);
    line += "  other " + std::to_string(other) + "\n";
    std::fputs(line.c_str(), stdout);
    return true;
}

}  // namespace

long print_summary(const Settings &s, const std::vector<std::string> &files, Notes &notes) {
    if (s.summary == Summary::DiskUsage) {
        uint64_t total = 0;
        for (const std::string &f : files) total += size_of(f);
        std::printf("%zu day files take up %s (%llu bytes)\n", files.size(), human(total).c_str(),
                    (unsigned long long)total);
        return 1;
    }
    long described = 0;
    for (const std::string &f : files) described += describe(f, s.utc, notes);
    return described;
}

}  // namespace view
