// How tembra-view prints: a record as short, short-iso, json, json-pretty or
// cat text, and where the text goes (standard output, or a pager when it is
// longer than the screen).
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "reader/dayfile.h"
#include "settings.h"

namespace view {

struct Style {
    Output output = Output::Short;
    bool colour = false;  // the level in colour
    bool utc = false;     // times in UTC
};

// Appends one record (or a line that is not one) in the chosen format.
void format(std::string &out, const Style &style, const dayfile::Record &record, time_t time,
            const std::string &file);
// Appends text with what a terminal acts on (C0 controls but newline and
// tab, DEL, C1 controls in UTF-8 or as raw bytes, bidirectional controls)
// written byte by byte as \xHH.
void append_escaped(std::string &out, std::string_view text);
// Appends text as the inside of a JSON string.
void append_json(std::string &out, std::string_view text);

// The pager to use on a terminal: $PAGER (run by the shell), or less -R.
struct Pager {
    std::string command;   // "" for none
    bool colours = false;  // it shows colours (less is given -R)
    std::string missing;   // the program that was asked for but cannot be started
};
Pager choose_pager(bool at_end);

// Standard output, through a pager once the text outgrows the screen.
class Sink {
  public:
    Sink(bool page, Pager pager);
    ~Sink();
    // false once nobody reads any more (the pager was quit).
    bool write(std::string_view text);
    bool flush();
    void close();

  private:
    bool start_pager();

    bool page_;
    Pager pager_;
    bool gone_ = false;
    int fd_ = 1;
    pid_t pid_ = -1;
    long rows_ = 0, cols_ = 80, used_ = 0;
    std::string held_;
};

}  // namespace view
