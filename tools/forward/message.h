// One RFC 5424 syslog message per day-file record, and the octet-counted frame
// (RFC 6587) that carries it over TCP and TLS.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "settings.h"

namespace forward {

// The message of a record: PRI from the facility and the level (0-4 as on the
// queue), the line's local time with the zone's UTC offset at that moment,
// APP-NAME tembra, MSGID the type, MSG the message exactly.
std::string record_message(const Settings &s, int level, time_t when, std::string_view message,
                           std::string_view type);

// The message of a line that is not a record: severity notice, no timestamp
// (the collector stamps it), MSGID -, MSG the line as it stands.
std::string foreign_message(const Settings &s, std::string_view line);

// Appends "LEN SP MESSAGE" to frames.
void append_octet_counted(std::string &frames, std::string_view message);

}  // namespace forward
