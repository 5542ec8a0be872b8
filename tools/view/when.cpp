// The times -S and -U take: words, @EPOCH, spans before or after now
// ("-1h30min", "+2d", "3 weeks ago"), and dates and times of day, local or
// UTC or with an offset; impossible dates are refused, never rolled over.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "common/clock.h"
#include "settings.h"

namespace view {

namespace {

struct Unit {
    const char *names[5];
    long seconds;
};

const Unit kUnits[] = {
    {{"s", "sec", "second", "seconds", "secs"}, 1},
    {{"m", "min", "minute", "minutes", "mins"}, 60},
    {{"h", "hr", "hour", "hours", "hrs"}, 3600},
    {{"d", "day", "days", "dy", nullptr}, 86400},
    {{"w", "week", "weeks", "wk", nullptr}, 7 * 86400},
    {{"M", "month", "months", nullptr, nullptr}, 2629800},  // a year's twelfth
    {{"y", "year", "years", nullptr, nullptr}, 31557600},   // 365.25 days
};

long seconds_of(const std::string &name) {
    for (const Unit &u : kUnits)
        for (const char *n : u.names)
            if (n && name == n) return u.seconds;
    return 0;
}

// "1h30min", "2 d 3h": the sum of its parts in seconds, or -1.
long span_of(const std::string &text) {
    long total = 0;
    size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && text[at] == ' ') ++at;
        size_t digits = at;
        while (digits < text.size() && std::isdigit((unsigned char)text[digits])) ++digits;
        if (digits == at || digits - at > 9) return -1;
        long amount = std::stol(text.substr(at, digits - at));
        while (digits < text.size() && text[digits] == ' ') ++digits;
        size_t name = digits;
        while (name < text.size() && std::isalpha((unsigned char)text[name])) ++name;
        long unit = seconds_of(text.substr(digits, name - digits));
        if (unit == 0) return -1;
        total += amount * unit;
        at = name;
    }
    return at == 0 ? -1 : total;
}

int days_in(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

// Reads exactly the digits of a field; false when they are not there.
bool field(const char *&p, int width, int &value) {
    value = 0;
    for (int i = 0; i < width; ++i, ++p) {
        if (!std::isdigit((unsigned char)*p)) return false;
        value = value * 10 + (*p - '0');
    }
    return true;
}

struct Clock {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    bool has_date = false;
    bool has_zone = false;
    long offset = 0;  // seconds east of UTC, when has_zone
};

bool parse_time_of_day(const char *&p, Clock &c) {
    if (!field(p, 2, c.hour) || *p++ != ':' || !field(p, 2, c.minute)) return false;
    if (*p == ':' && !(++p, field(p, 2, c.second))) return false;
    return true;
}

bool parse_zone(const char *&p, Clock &c) {
    if (*p == 'Z' || *p == 'z') {
        c.has_zone = true;
        return *++p == '\0';
    }
    if (*p != '+' && *p != '-') return *p == '\0';
    int sign = *p++ == '-' ? -1 : 1, hours, minutes = 0;
    if (!field(p, 2, hours)) return false;
    if (*p == ':') ++p;
    if (*p && !field(p, 2, minutes)) return false;
    c.has_zone = true;
    c.offset = sign * (hours * 3600L + minutes * 60L);
    return *p == '\0' && hours < 24 && minutes < 60;
}

// "YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS]", "YYYY-MM-DDTHH:MM[:SS][Z|+HH:MM]", "HH:MM[:SS]".
bool parse_clock(const std::string &text, Clock &c) {
    const char *p = text.c_str();
    if (text.size() >= 10 && text[4] == '-') {
        if (!field(p, 4, c.year) || *p++ != '-' || !field(p, 2, c.month) || *p++ != '-' || !field(p, 2, c.day))
            return false;
        c.has_date = true;
        if (*p == '\0') return true;
        if (*p != ' ' && *p != 'T') return false;
        ++p;
    }
    return parse_time_of_day(p, c) && parse_zone(p, c);
}

std::string impossible(const Clock &c) {
    if (c.has_date && (c.month < 1 || c.month > 12)) return "there is no month " + std::to_string(c.month);
    if (c.has_date && (c.day < 1 || c.day > days_in(c.year, c.month)))
        return "day " + std::to_string(c.day) + " is not in " + std::to_string(c.year) + "-" +
               (c.month < 10 ? "0" : "") + std::to_string(c.month);
    if (c.hour > 23 || c.minute > 59 || c.second > 59) return "no such time of day";
    return "";
}

time_t time_of(Clock c, time_t now, bool utc) {
    tm t{};
    if (!c.has_date) {
        if (utc || c.has_zone) gmtime_r(&now, &t);
        else localtime_r(&now, &t);
        c.year = t.tm_year + 1900, c.month = t.tm_mon + 1, c.day = t.tm_mday;
    }
    t = tm{};
    t.tm_year = c.year - 1900;
    t.tm_mon = c.month - 1;
    t.tm_mday = c.day;
    t.tm_hour = c.hour;
    t.tm_min = c.minute;
    t.tm_sec = c.second;
    t.tm_isdst = -1;
    if (c.has_zone) return timegm(&t) - c.offset;
    return utc ? timegm(&t) : mktime(&t);
}

// "@1700000000" as seconds since the epoch.
bool epoch_of(const std::string &text, time_t &when) {
    size_t at = text.size() > 1 && text[1] == '-' ? 2 : 1;
    if (text.size() <= at || text.size() > at + 12) return false;
    for (size_t i = at; i < text.size(); ++i)
        if (!std::isdigit((unsigned char)text[i])) return false;
    when = (time_t)std::stoll(text.substr(1));
    return true;
}

}  // namespace

bool parse_when(const std::string &text, time_t now, bool utc, time_t &when, std::string &why) {
    why = "bad time '" + text + "'";
    const struct {
        const char *word;
        int days;
    } words[] = {{"today", 0}, {"yesterday", -1}, {"tomorrow", 1}};
    if (text == "now") return when = now, true;
    for (const auto &w : words)
        if (text == w.word) return when = utc ? (now / 86400 + w.days) * 86400 : tools::local_midnight(now, w.days), true;
    if (text.starts_with('@')) return epoch_of(text, when);
    bool ago = text.size() > 4 && text.ends_with(" ago");
    if (ago || ((text[0] == '-' || text[0] == '+') && text.size() > 1)) {
        long span = span_of(ago ? text.substr(0, text.size() - 4) : text.substr(1));
        if (span < 0) return false;
        when = text[0] == '+' ? now + span : now - span;
        return true;
    }
    Clock c;
    if (!parse_clock(text, c)) return false;
    std::string reason = impossible(c);
    if (!reason.empty()) return why += ": " + reason, false;
    when = time_of(c, now, utc);
    return true;
}

}  // namespace view
