// tembra-view's settings, filled from its command line, and the test of a
// record against them.
#pragma once

#include <regex.h>

#include <climits>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "reader/dayfile.h"

namespace view {

enum class Output { Short, Json, Cat };

struct Settings {
    std::vector<std::string> paths;        // files and directories to read; none: /var/log/Tembra/
    int min_priority = INT_MIN;            // lowest queue priority shown (INFO 0 .. ALERT 4)
    int max_priority = INT_MAX;            // highest shown (the numbers outside 0-4 only without -p)
    bool by_priority = false;              // -p given: only the five levels, no lines that are not records
    std::string type;                      // the only type shown ("SERVER"), or "" for all
    time_t since = LONG_MIN;               // earliest time shown
    time_t until = LONG_MAX;               // latest time shown
    std::shared_ptr<regex_t> grep;         // pattern the message must match, or none
    long lines = -1;                       // show only the last this many, or -1 for all
    bool follow = false;                   // keep printing records as they are written
    bool reverse = false;                  // newest first
    Output output = Output::Short;         // how each record is printed
    bool pager = true;                     // page output longer than the screen on a terminal
};

// Fills settings from argv; on a bad argument returns its one-line reason.
std::string parse_settings(int argc, char **argv, Settings &settings, time_t now);
// A -S/-U value as a time: "YYYY-MM-DD hh:mm:ss", "YYYY-MM-DD", "today",
// "yesterday", "tomorrow", "now", "-1h", "-30min"; -1 when it is none of them.
time_t parse_when(const std::string &text, time_t now);

// Whether a record (or a line that is not one, with the time it is shown at) is shown.
bool wanted(const Settings &settings, const dayfile::Record &record, time_t time);

extern const char kUsage[];

}  // namespace view
