// The three things tembra-view does once its files are known: print what
// they hold, follow them, or describe them.
#pragma once

#include <string>
#include <vector>

#include "files.h"
#include "output.h"
#include "reader/dayfile.h"
#include "settings.h"

namespace view {

// Prints what the files hold now: all of it, the last N, or newest first;
// ends gets where a follower of each file takes over. Returns how many
// records were shown.
long print_history(const Settings &settings, const std::vector<std::string> &files, const Style &style, Sink &sink,
                   Notes &notes, std::vector<dayfile::Position> &ends);

// Prints new records as they are written, each batch in time order, until
// SIGINT or SIGTERM: the day that is today in dir, or only the files named.
long follow_directory(const Settings &settings, const std::string &dir, const dayfile::Position &from,
                      const Style &style, Sink &sink, Notes &notes);
long follow_files(const Settings &settings, const std::vector<dayfile::Position> &from, const Style &style,
                  Sink &sink, Notes &notes);

// --disk-usage and --header: the day files' sizes, dates and records per level.
long print_summary(const Settings &settings, const std::vector<std::string> &files, Notes &notes);

}  // namespace view
