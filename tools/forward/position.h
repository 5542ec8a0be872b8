// The saved position: for the day file being read and for each earlier one still
// followed, its identity (device and inode), how far into it every record has
// been delivered, and its name; in one small text file replaced atomically.
#pragma once

#include <string>
#include <vector>

#include "reader/dayfile.h"

namespace forward {

// Reads the saved positions, the current file's first; a missing file leaves
// them empty (start from the oldest day file). False with why set when the file
// cannot be read or is not exactly what save_positions writes.
bool load_positions(const std::string &path, std::vector<dayfile::Position> &positions, std::string &why);

// Replaces the file: writes a temporary beside it, fsyncs it, renames it over
// the old one and fsyncs the directory. False with why set on any failure.
bool save_positions(const std::string &path, const std::vector<dayfile::Position> &positions,
                    std::string &why);

}  // namespace forward
