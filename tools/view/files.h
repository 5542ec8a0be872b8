// Which files tembra-view reads, and what it says about a file it cannot
// read whole: each problem once, by the file's name.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace view {

// Notes on standard error about files, each file at most once.
class Notes {
  public:
    explicit Notes(bool quiet) : quiet_(quiet) {}
    // "tembra-view: PATH: why", unless this file was named already.
    void file(const std::string &path, const std::string &why);
    // error is "PATH: why", as the reader says it.
    void reader_error(const std::string &path, const std::string &error);
    bool any() const { return !files_.empty(); }

  private:
    bool quiet_;
    std::set<std::string> files_;
};

// The files to read for these paths: the day files of each directory in
// date order (one form of each day: the plain file, else the last listed),
// files as given. A named path that does not exist is a usage error (why
// set); a directory that cannot be listed goes to closed, with its reason.
struct Closed {
    std::string path, why;
    bool denied;  // for lack of permission
};
std::vector<std::string> files_of(const std::vector<std::string> &paths, std::vector<Closed> &closed, std::string &why);

// When nothing there can be read for lack of permission: the one line that
// says which group may read it; "" otherwise.
std::string access_hint(const std::vector<std::string> &files, const std::vector<Closed> &closed);

}  // namespace view
