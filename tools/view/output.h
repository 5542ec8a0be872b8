// How tembra-view prints: a record as short, json or cat text, and where the
// text goes (standard output, or a pager when it is longer than the screen).
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "reader/dayfile.h"
#include "settings.h"

namespace view {

// Appends one record (or a line that is not one) in the chosen format.
void format(std::string &out, Output output, bool colour, const dayfile::Record &record, time_t time,
            const std::string &file);
// Appends text with control bytes other than newline and tab as \xHH.
void append_escaped(std::string &out, std::string_view text);
// Appends text as the inside of a JSON string.
void append_json(std::string &out, std::string_view text);

// Standard output, through a pager once the text outgrows the screen.
class Sink {
  public:
    explicit Sink(bool page);
    ~Sink();
    // false once nobody reads any more (the pager was quit).
    bool write(std::string_view text);
    bool flush();
    void close();

  private:
    bool start_pager();

    bool page_;
    bool gone_ = false;
    int fd_ = 1;
    pid_t pager_ = -1;
    long rows_ = 0, cols_ = 80, used_ = 0;
    std::string held_;
};

}  // namespace view
