// What the tools say when "/mqd" is not theirs to use: whose queue it is, who
// may post to it and what to do, in one line after the logger's own report.
#pragma once

#include <sys/types.h>

#include <string>

// What is known of "/mqd" without using it.
struct QueueOwner {
    enum { kNone, kKnown, kUnknown } found = kNone;  // kUnknown: it exists, but whose is hidden
    uid_t uid = 0;
    gid_t gid = 0;
    mode_t mode = 0;
    std::string file;  // its path on the queue file system, e.g. /dev/mqueue/mqd
};
QueueOwner find_queue_owner();

// A user's or group's name, or "uid N" / "gid N".
std::string user_name(uid_t uid);
std::string group_name(gid_t gid);

// The line (without tool's prefix and newline) that explains why this process
// may not use "/mqd" as a poster, or as the reader when reader is set; "" when
// the queue is missing or this process's own.
std::string queue_owner_hint(bool reader);

// Says queue_owner_hint on standard error, prefixed with tool; true when it said something.
bool report_queue_owner(const char *tool, bool reader = false);
