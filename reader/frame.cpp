// A record's frame: "[LEVEL] YYYY-MM-DD hh:mm:ss MESSAGE (TYPE) \n", its
// level and type names, and its timestamp read as local time.
#include "reader/frame.h"

#include <strings.h>

#include <algorithm>
#include <cstring>

#include "logger/line_format.h"

namespace dayfile {

namespace {

constexpr size_t kStampLength = LOG_TIME_LENGTH;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// An optional minus and 1 to 10 digits: what the logger writes for an index
// outside its tables.
bool is_number(std::string_view text) {
    if (!text.empty() && text[0] == '-') text.remove_prefix(1);
    if (text.empty() || text.size() > 10) return false;
    for (char c : text)
        if (!is_digit(c)) return false;
    return true;
}

long number_of(std::string_view text) {
    bool negative = !text.empty() && text[0] == '-';
    if (negative) text.remove_prefix(1);
    long value = 0;
    for (char c : text) value = value * 10 + (c - '0');
    return negative ? -value : value;
}

bool is_level(std::string_view name) {
    for (const char *level : LogLevelText)
        if (name == level) return true;
    return is_number(name);
}

bool is_type(std::string_view name) {
    for (const char *type : LogTypeText)
        if (name == type) return true;
    return is_number(name);
}

bool is_stamp(std::string_view s) {
    if (s.size() != kStampLength) return false;
    for (size_t i = 0; i < kStampLength; ++i) {
        char want = i == 4 || i == 7 ? '-' : i == 10 ? ' ' : i == 13 || i == 16 ? ':' : '0';
        if (want == '0' ? !is_digit(s[i]) : s[i] != want) return false;
    }
    return true;
}

int two(std::string_view s, size_t at) { return (s[at] - '0') * 10 + (s[at + 1] - '0'); }

}  // namespace

int priority_of(std::string_view level) {
    for (int i = 0; i < LOG_LEVEL_COUNT; ++i)
        if (level.size() == strlen(LogLevelText[i]) &&
            strncasecmp(level.data(), LogLevelText[i], level.size()) == 0)
            return i;
    if (level.size() == 1 && level[0] >= '0' && level[0] <= '0' + LOG_PRIORITY_MAX) return level[0] - '0';
    return -1;
}

const char *level_name(int priority) {
    return priority >= 0 && priority < LOG_LEVEL_COUNT ? LogLevelText[priority] : "";
}

namespace {

// A minute's start as local time: the first time the wall clock showed it,
// and the second, an hour later say, when summer time ended within it (else -1).
struct Minute {
    time_t first = -1, second = -1;
};

bool same_minute(const tm &a, const tm &b) {
    return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday && a.tm_hour == b.tm_hour &&
           a.tm_min == b.tm_min;
}

// The other time the clock showed the same minute as at, when the offset
// from UTC changed nearby (by an hour, or half of one); -1 when none.
time_t shown_again(time_t at, const tm &wall) {
    tm before, after;
    time_t early = at - 7200, late = at + 7200;
    localtime_r(&early, &before);
    localtime_r(&late, &after);
    if (before.tm_gmtoff == after.tm_gmtoff) return -1;
    for (time_t shift : {-3600, 3600, -1800, 1800}) {
        time_t other = at + shift;
        tm shown;
        localtime_r(&other, &shown);
        if (same_minute(shown, wall)) return other;
    }
    return -1;
}

Minute minute_of(std::string_view stamp) {
    tm local{};
    local.tm_year = two(stamp, 0) * 100 + two(stamp, 2) - 1900;
    local.tm_mon = two(stamp, 5) - 1;
    local.tm_mday = two(stamp, 8);
    local.tm_hour = two(stamp, 11);
    local.tm_min = two(stamp, 14);
    local.tm_isdst = -1;
    tm wall = local;
    time_t at = mktime(&local);
    if (at == -1) return {};
    time_t other = shown_again(at, wall);
    if (other == -1) return {at, -1};
    return {std::min(at, other), std::max(at, other)};
}

// Zone changes fall on whole minutes, so one conversion serves a minute
// (of the zone last set with tzset: its names tell one zone from another).
const Minute &cached_minute(std::string_view stamp) {
    thread_local char minute[16] = {};
    thread_local Minute cached;
    thread_local const char *zone[2] = {};
    if (cached.first == -1 || memcmp(minute, stamp.data(), sizeof minute) != 0 || zone[0] != tzname[0] ||
        zone[1] != tzname[1]) {
        cached = minute_of(stamp);
        memcpy(minute, stamp.data(), sizeof minute);
        zone[0] = tzname[0];
        zone[1] = tzname[1];
    }
    return cached;
}

}  // namespace

time_t local_time(std::string_view stamp) {
    if (!is_stamp(stamp)) return -1;
    const Minute &m = cached_minute(stamp);
    return m.first == -1 ? -1 : m.first + two(stamp, 17);
}

time_t repeated_time(std::string_view stamp) {
    if (!is_stamp(stamp)) return -1;
    const Minute &m = cached_minute(stamp);
    return m.second == -1 ? -1 : m.second + two(stamp, 17);
}

namespace frame {

size_t head_length(std::string_view row) {
    if (row.size() < 2 || row[0] != '[') return 0;
    size_t close = row.find(']', 1);
    if (close == npos || close > 12 || !is_level(row.substr(1, close - 1))) return 0;
    size_t stamp = close + 2;
    if (row.size() < stamp + kStampLength + 1 || row[close + 1] != ' ') return 0;
    if (!is_stamp(row.substr(stamp, kStampLength)) || row[stamp + kStampLength] != ' ') return 0;
    return stamp + kStampLength + 1;
}

size_t tail_start(std::string_view row) {
    // Read from the end: ") \n", the name, then " (" at most 13 bytes before.
    size_t n = row.size();
    if (n < 6 || row[n - 1] != '\n' || row[n - 2] != ' ' || row[n - 3] != ')') return npos;
    const char *p = row.data();
    size_t name_end = n - 3, floor = name_end > 14 ? name_end - 14 : 0;
    for (size_t open = name_end - 1; open > floor; --open) {
        if (p[open] != '(') continue;
        if (p[open - 1] != ' ') return npos;
        return is_type(row.substr(open + 1, name_end - open - 1)) ? open - 1 : npos;
    }
    return npos;
}

void fill(std::string_view bytes, size_t head, size_t tail, Record &r) {
    size_t close = bytes.find(']');
    r.framed = true;
    r.raw = bytes;
    r.level = bytes.substr(1, close - 1);
    r.priority = -1;
    for (int i = 0; i < LOG_LEVEL_COUNT && r.priority < 0; ++i)
        if (r.level == LogLevelText[i]) r.priority = i;
    if (r.priority < 0) r.priority = (int)number_of(r.level);
    r.stamp = bytes.substr(close + 2, kStampLength);
    r.time = local_time(r.stamp);
    r.repeated = r.time != -1 && cached_minute(r.stamp).second != -1;
    r.message = bytes.substr(head, tail - head);
    r.type = bytes.substr(tail + 2, bytes.size() - 3 - tail - 2);
}

}  // namespace frame

bool parse(std::string_view bytes, Record &record) {
    size_t head = frame::head_length(bytes);
    if (head == 0 || bytes.size() > kMaxRecord) return false;
    size_t tail = frame::tail_start(bytes);
    if (tail == frame::npos || tail < head) return false;
    // No earlier row may end the record.
    for (size_t row = 0, nl; (nl = bytes.find('\n', row)) < bytes.size() - 1; row = nl + 1)
        if (frame::tail_start(bytes.substr(row, nl + 1 - row)) != frame::npos) return false;
    frame::fill(bytes, head, tail, record);
    return true;
}

}  // namespace dayfile
