// The tools' explanation when "/mqd" belongs to another user: whose queue it
// is and what to do, in one line after the logger's own report.
#pragma once

// Says so on standard error, prefixed with tool, and returns true when "/mqd"
// exists and belongs to a user other than this process's; otherwise says nothing.
bool report_queue_owner(const char *tool);
