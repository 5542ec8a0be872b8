// Building RFC 5424 messages: PRI, timestamp with the local zone's offset, header
// fields, parts of long records; and octet-counted framing.
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

// "<PRI>1 TIME HOST tembra - MSGID ", to be followed by the structured data.
std::string header(const Settings &s, int severity, std::string_view time, std::string_view msgid,
                   size_t room) {
    char pri[16];
    int n = snprintf(pri, sizeof pri, "<%d>1 ", s.facility * 8 + severity);
    std::string h;
    h.reserve((size_t)n + time.size() + s.hostname.size() + msgid.size() + 24 + room);
    h.append(pri, (size_t)n).append(time).append(" ").append(s.hostname).append(" tembra - ");
    return h.append(msgid).append(" ");
}

std::string part_marker(size_t n, size_t of, uint64_t at) {
    return "[part@32473 n=\"" + std::to_string(n) + "\" of=\"" + std::to_string(of) + "\" at=\"" +
           std::to_string(at) + "\"]";
}

// Where to cut text so that a piece holds at most room bytes and no UTF-8
// character is split (unless room cannot hold one).
size_t cut_at(std::string_view text, size_t room) {
    if (text.size() <= room) return text.size();
    size_t cut = room;
    while (cut > 0 && cut + 4 > room && ((unsigned char)text[cut] & 0xC0) == 0x80) --cut;
    return cut > 0 ? cut : room;
}

// The pieces of message, each fitting beside head and the widest marker of their count.
std::vector<std::string_view> pieces(const Settings &s, size_t head, std::string_view message, uint64_t at) {
    for (size_t guess = 10;; guess *= 10) {
        size_t marker = part_marker(guess, guess, at).size() + 1;
        size_t room = s.max_message > head + marker + 4 ? s.max_message - head - marker : 4;
        std::vector<std::string_view> out;
        for (std::string_view rest = message; !rest.empty();) {
            size_t n = cut_at(rest, room);
            out.push_back(rest.substr(0, n));
            rest.remove_prefix(n);
        }
        if (out.size() < guess) return out;
    }
}

}  // namespace

void add_messages(const Settings &s, const dayfile::Record &r, std::vector<std::string> &out) {
    std::string_view message = r.message;
    std::string head;
    if (r.framed) {
        int severity = r.priority >= 0 && r.priority <= 4 ? kSeverity[r.priority] : kNotice;
        head = header(s, severity, timestamp(r.time), r.type.empty() ? "-" : r.type, message.size());
    } else {
        message = r.raw;
        if (message.ends_with('\n')) message.remove_suffix(1);
        head = header(s, kNotice, "-", "-", message.size());
    }
    if (head.size() + 2 + message.size() <= s.max_message) {
        out.push_back(std::move(head.append("- ").append(message)));
        return;
    }
    std::vector<std::string_view> parts = pieces(s, head.size(), message, r.offset);
    for (size_t i = 0; i < parts.size(); ++i)
        out.push_back(head + part_marker(i + 1, parts.size(), r.offset) + " " + std::string(parts[i]));
}

void append_octet_counted(std::string &frames, std::string_view message) {
    char length[24];
    int n = snprintf(length, sizeof length, "%zu ", message.size());
    frames.append(length, (size_t)n).append(message);
}

}  // namespace forward
