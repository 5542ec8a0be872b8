// The decompressed bytes of one day file, plain, .gz or .zst; internal to
// the day-file reader. A damaged or cut-short file yields what can be read,
// then an error that says what was wrong.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

namespace dayfile {

class Source {
  public:
    Source();
    ~Source();
    Source(Source &&) noexcept;
    Source &operator=(Source &&) noexcept;

    // Takes fd (open for reading); the kind follows the name's ending.
    bool open(int fd, const std::string &path);
    // Up to room bytes; 0 at the end; -1 with error() set when the rest
    // cannot be read (damaged data, or compressed data that stops short).
    ssize_t read(char *to, size_t room);
    // Plain files only: continue at this byte.
    bool seek(uint64_t offset);
    bool plain() const;
    void close();
    const std::string &error() const;

  private:
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace dayfile
