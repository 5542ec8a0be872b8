// Loading, strictly, and atomically replacing the saved position (write, fsync, rename).
#include "position.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <limits>

namespace forward {

namespace {

const char kHeader[] = "tembra-forward position 1\n";
// Far more than any position list the forwarder writes.
constexpr size_t kMaxSize = 1 << 20;

std::string directory_of(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool failed(std::string &why, const std::string &what) {
    why = what + ": " + strerror(errno);
    return false;
}

// A decimal number up to high followed by one blank: no sign, no other character.
bool take_number(std::string_view &text, uint64_t high, uint64_t &value) {
    size_t blank = text.find(' ');
    if (blank == 0 || blank == std::string_view::npos) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + blank, value);
    if (ec != std::errc() || end != text.data() + blank || value > high) return false;
    text.remove_prefix(blank + 1);
    return true;
}

// "DEV INO OFFSET PATH" where PATH names a day file.
bool parse_line(std::string_view line, dayfile::Position &p) {
    uint64_t dev = 0, ino = 0, offset = 0;
    if (!take_number(line, std::numeric_limits<dev_t>::max(), dev) ||
        !take_number(line, std::numeric_limits<ino_t>::max(), ino) ||
        !take_number(line, (uint64_t)std::numeric_limits<off_t>::max(), offset))
        return false;
    if (line.empty() || line.find('\0') != std::string_view::npos || dayfile::date_of(std::string(line)) == 0)
        return false;
    p = {{(dev_t)dev, (ino_t)ino}, offset, std::string(line)};
    return true;
}

bool read_all(const std::string &path, std::string &text, std::string &why) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return failed(why, path);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 && text.size() <= kMaxSize) text.append(buf, (size_t)n);
    int err = errno;
    close(fd);
    errno = err;
    return n >= 0 || failed(why, path);
}

}  // namespace

bool load_positions(const std::string &path, std::vector<dayfile::Position> &positions, std::string &why) {
    positions.clear();
    std::string text;
    if (access(path.c_str(), F_OK) != 0 && errno == ENOENT) return true;
    if (!read_all(path, text, why)) return false;
    auto refuse = [&](const std::string &what) {
        positions.clear();
        why = path + ": not a saved position (" + what + "); remove it to start from the oldest day file";
        return false;
    };
    if (text.size() > kMaxSize) return refuse("too long");
    if (!text.starts_with(kHeader)) return refuse("no header");
    std::string_view rest(text);
    rest.remove_prefix(sizeof kHeader - 1);
    if (rest.empty()) return refuse("no position");
    for (int line = 2; !rest.empty(); ++line) {
        size_t nl = rest.find('\n');
        dayfile::Position p;
        if (nl == std::string_view::npos) return refuse("line " + std::to_string(line) + " cut short");
        if (!parse_line(rest.substr(0, nl), p)) return refuse("line " + std::to_string(line) + " malformed");
        positions.push_back(p);
        rest.remove_prefix(nl + 1);
    }
    return true;
}

bool save_positions(const std::string &path, const std::vector<dayfile::Position> &positions,
                    std::string &why) {
    std::string temporary = path + ".new";
    std::string text = kHeader;
    for (const dayfile::Position &p : positions)
        text += std::to_string((uintmax_t)p.id.dev) + " " + std::to_string((uintmax_t)p.id.ino) + " " +
                std::to_string(p.offset) + " " + p.path + "\n";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return failed(why, temporary);
    bool ok = write(fd, text.data(), text.size()) == (ssize_t)text.size() && fsync(fd) == 0;
    if (close(fd) != 0) ok = false;
    if (!ok || rename(temporary.c_str(), path.c_str()) != 0) {
        failed(why, temporary);
        unlink(temporary.c_str());
        return false;
    }
    int dir = open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}

}  // namespace forward
