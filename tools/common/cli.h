// The tools' command-line convention. Each tool keeps its settings in one
// struct and fills it with getopt_long in parse_options, which returns
// kRun to go on or the exit status: 0 after --help or --version, 2 after a
// usage error. Conflicts between options are checked after the loop.
#pragma once

#include <string>

namespace tools {

inline constexpr int kRun = -1;

// Says "TOOL: why; " and the usage's first line ("usage: TOOL ...") on
// standard error, as one line; returns 2.
int usage_error(const char *tool, const std::string &why, const char *usage);

}  // namespace tools
