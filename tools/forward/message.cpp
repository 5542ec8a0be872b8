// Building RFC 5424 messages: PRI, timestamp with the local zone's offset, header
// fields; and octet-counted framing.
#include "message.h"

#include "common/clock.h"

#include <cstdio>

namespace forward {

namespace {

// Syslog severities of INFO, DEBUG, WARN, ERROR and ALERT, by level.
const int kSeverity[] = {6, 7, 4, 3, 1};
const int kNotice = 5;

// The same second recurs in record after record: keep the last one's text.
const std::string &timestamp(time_t when) {
    static thread_local time_t last = -1;
    static thread_local std::string text;
    if (when == last && !text.empty()) return text;
    last = when;
    text = tools::rfc3339(when);
    return text;
}

std::string header(const Settings &s, int severity, std::string_view time, std::string_view msgid,
                   size_t room) {
    char pri[16];
    int n = snprintf(pri, sizeof pri, "<%d>1 ", s.facility * 8 + severity);
    std::string h;
    h.reserve((size_t)n + time.size() + s.hostname.size() + msgid.size() + 16 + room);
    h.append(pri, (size_t)n).append(time).append(" ").append(s.hostname).append(" tembra - ");
    h.append(msgid).append(" - ");
    return h;
}

}  // namespace

std::string record_message(const Settings &s, int level, time_t when, std::string_view message,
                           std::string_view type) {
    int severity = level >= 0 && level <= 4 ? kSeverity[level] : kNotice;
    std::string m = header(s, severity, timestamp(when), type.empty() ? "-" : type, message.size());
    m.append(message);
    return m;
}

std::string foreign_message(const Settings &s, std::string_view line) {
    std::string m = header(s, kNotice, "-", "-", line.size());
    m.append(line);
    return m;
}

void append_octet_counted(std::string &frames, std::string_view message) {
    char length[24];
    int n = snprintf(length, sizeof length, "%zu ", message.size());
    frames.append(length, (size_t)n).append(message);
}

}  // namespace forward
