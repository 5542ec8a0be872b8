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

enum class Output { Short, ShortIso, Json, JsonPretty, Cat };
enum class Summary { None, DiskUsage, Header };

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
    bool lines_given = false;              // -n was given (-e then keeps its number)
    bool follow = false;                   // keep printing records as they are written
    bool reverse = false;                  // newest first
    Output output = Output::Short;         // how each record is printed
    bool utc = false;                      // times shown and read in UTC, not local time
    bool pager = true;                     // page output longer than the screen on a terminal
    bool pager_end = false;                // start the pager at the end of the output
    bool quiet = false;                    // no notes about files skipped, damaged or unreadable
    Summary summary = Summary::None;       // describe the day files instead of showing records
};

// Fills settings from argv: tools::kRun to go on, or the exit status (0
// after --help or --version, 2 after a usage error, said on standard error).
int parse_options(int argc, char **argv, Settings &settings, time_t now);
// A -S/-U value as a time, or why it is none (see the usage for the forms).
bool parse_when(const std::string &text, time_t now, bool utc, time_t &when, std::string &why);

// Whether a record (or a line that is not one, with the time it is shown at) is shown.
bool wanted(const Settings &settings, const dayfile::Record &record, time_t time);

extern const char kUsage[];

}  // namespace view
