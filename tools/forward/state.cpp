// Loading and atomically replacing the saved position (write, fsync, rename).
#include "state.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>

namespace forward {

namespace {

const char kHeader[] = "tembra-forward position 1\n";

std::string directory_of(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool failed(std::string &why, const std::string &what) {
    why = what + ": " + strerror(errno);
    return false;
}

}  // namespace

bool load_position(const std::string &path, dayfile::Position &position, bool &saved,
                   std::string &why) {
    position = dayfile::Position{};
    saved = false;
    std::FILE *f = std::fopen(path.c_str(), "r");
    if (!f) return errno == ENOENT || failed(why, path);
    char header[64] = {}, name[4096] = {};
    uintmax_t device = 0, inode = 0, offset = 0;
    bool ok = std::fgets(header, sizeof header, f) && strcmp(header, kHeader) == 0 &&
              std::fscanf(f, "%ju %ju %ju %4095[^\n]", &device, &inode, &offset, name) >= 3;
    std::fclose(f);
    if (!ok) {
        why = path + ": not a saved position";
        return false;
    }
    position.id = {(dev_t)device, (ino_t)inode};
    position.offset = offset;
    position.path = name;
    saved = true;
    return true;
}

bool save_position(const std::string &path, const dayfile::Position &position, std::string &why) {
    std::string temporary = path + ".new";
    char text[4300];
    int n = std::snprintf(text, sizeof text, "%s%ju %ju %ju %s\n", kHeader, (uintmax_t)position.id.dev,
                          (uintmax_t)position.id.ino, (uintmax_t)position.offset,
                          position.path.substr(0, 4095).c_str());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return failed(why, temporary);
    bool ok = write(fd, text, (size_t)n) == n && fsync(fd) == 0;
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
