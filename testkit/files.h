// Reading a whole file and counting a text in it, for the tests and the load test.
#pragma once

#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

#include "logger/line_format.h"

namespace bed {

// The day's log file as the logger names it, for today's local date (or the
// date days after today).
inline std::string day_path(int days = 0) {
    time_t now = time(nullptr) + (time_t)days * 86400;
    tm local;
    localtime_r(&now, &local);
    char path[LOG_PATH_SIZE];
    log_day_file_name(path, sizeof path, LOG_DIRECTORY, &local);
    return path;
}

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace bed
