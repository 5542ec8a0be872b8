// RFC 5424 syslog messages of day-file records, in parts when a record is longer
// than one message may be, and the octet-counted frame (RFC 6587) over TCP and TLS.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "reader/dayfile.h"
#include "settings.h"

namespace forward {

// Appends the messages of a record to out. A record becomes PRI from the
// facility and the level (0-4 as on the queue), the line's local time with the
// zone's UTC offset at that moment, APP-NAME tembra, MSGID the type, MSG the
// message exactly. A line that is not a record becomes severity notice, no
// timestamp (the collector stamps it), MSGID -, MSG the line without its newline.
// Longer than s.max_message, it goes in parts, each a whole message with the same
// header and the structured element [part@32473 n="N" of="M" at="OFFSET"]: the
// MSGs of parts 1 to M, joined, are the message.
void add_messages(const Settings &s, const dayfile::Record &record, std::vector<std::string> &out);

// Appends "LEN SP MESSAGE" to frames.
void append_octet_counted(std::string &frames, std::string_view message);

}  // namespace forward
