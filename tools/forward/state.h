// The saved position: which day file (device and inode), how far into it every
// record has been delivered, and its name, in one small file replaced atomically.
#pragma once

#include <string>

#include "reader/dayfile.h"

namespace forward {

// Reads the saved position into position and sets saved; a missing file leaves
// saved false (start from the oldest day file). False with why set when the file
// exists but cannot be read or is not a saved position.
bool load_position(const std::string &path, dayfile::Position &position, bool &saved,
                   std::string &why);

// Replaces the file: writes a temporary beside it, fsyncs it, renames it over
// the old one and fsyncs the directory. False with why set on any failure.
bool save_position(const std::string &path, const dayfile::Position &position, std::string &why);

}  // namespace forward
