// Reading one day file in whole records: the bytes come from a Source, an
// incomplete tail is held back while the file grows, and the records of one
// level can be asked for alone.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "reader/dayfile.h"
#include "reader/frame.h"
#include "reader/level_filter.h"
#include "reader/source.h"

namespace dayfile {

namespace {

constexpr size_t kBuffer = 64 * 1024;

}  // namespace

struct Reader::State {
    Source source;
    std::string path, error;
    bool filtered = false;       // yield only the records of one level
    level_filter::Level level;   // that level
    FileId id;
    bool growing = false, finished = false, ended = false;
    bool damaged = false;        // reading stopped at an error, still to be reported
    bool open = false;
    uint64_t limit = UINT64_MAX;
    uint64_t consumed = 0;  // bytes of the file taken into the buffer so far
    uint64_t offset = 0;    // the file offset of buf[begin]
    std::vector<char> buf;
    size_t begin = 0, end = 0;

    bool fail(const std::string &what) {
        error = path + ": " + what;
        return false;
    }

    // Moves the unread bytes to the front and reads more behind them.
    ssize_t read_more() {
        if (begin > 0) {
            memmove(buf.data(), buf.data() + begin, end - begin);
            end -= begin;
            begin = 0;
        }
        size_t room = buf.size() - end;
        if (limit - consumed < room) room = (size_t)(limit - consumed);
        if (room == 0) return 0;
        ssize_t n = source.read(buf.data() + end, room);
        if (n > 0) end += (size_t)n, consumed += (uint64_t)n;
        return n;
    }

    bool skip(uint64_t to) {
        if (source.plain()) {
            if (!source.seek(to)) return fail(source.error());
            consumed = offset = to;
            return true;
        }
        while (consumed < to) {
            size_t want = (size_t)std::min<uint64_t>(buf.size(), to - consumed);
            ssize_t n = source.read(buf.data(), want);
            if (n < 0) return fail(source.error());
            if (n == 0) break;
            consumed += (uint64_t)n;
        }
        offset = consumed;
        return true;
    }

    void pass(size_t bytes) {
        offset += bytes;
        begin += bytes;
    }

    // Where the next record ends, passing over what the level filter skips.
    frame::Cut next_cut(bool final) {
        for (;;) {
            std::string_view data(buf.data() + begin, end - begin);
            if (data.empty()) return {};
            size_t skip = filtered ? level_filter::skippable(data, level) : 0;
            if (skip > 0) {
                pass(skip);
                continue;
            }
            frame::Cut c = frame::cut(data, final || data.size() >= kBuffer);
            if (c.length == 0 || !filtered || (c.framed && level_filter::starts(data, level))) return c;
            pass(c.length);
        }
    }

    void yield(const frame::Cut &c, Record &record) {
        std::string_view bytes(buf.data() + begin, c.length);
        if (c.framed) {
            frame::fill(bytes, c.head, c.tail, record);
        } else {
            record = Record{};
            record.raw = bytes;
        }
        record.offset = offset;
        record.end = offset + c.length;
        pass(c.length);
    }
};

Reader::Reader() : s_(std::make_unique<State>()) {}
Reader::~Reader() = default;
Reader::Reader(Reader &&) noexcept = default;
Reader &Reader::operator=(Reader &&other) noexcept = default;

int open_day_file(const std::string &path, std::string &why) {
    // Never blocks: a FIFO opens at once and is then refused for what it is.
    int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
    if (date_of(path) != 0) flags |= O_NOFOLLOW;
    int fd = ::open(path.c_str(), flags);
    if (fd < 0) {
        why = errno == ELOOP ? "a symbolic link at a day file's name, not followed" : strerror(errno);
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = S_ISDIR(st.st_mode) ? "a directory, not a day file" : "not a regular file";
        ::close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, 0);  // reads of a regular file never block; O_NONBLOCK was for the open
    return fd;
}

uint64_t record_start_after(const std::string &path, uint64_t offset) {
    std::string why;
    int fd = path.ends_with(".log") ? open_day_file(path, why) : -1;
    if (fd < 0) return 0;
    std::vector<char> bytes(4 * kMaxRecord);
    ssize_t n = pread(fd, bytes.data(), bytes.size(), (off_t)offset);
    ::close(fd);
    std::string_view data(bytes.data(), n > 0 ? (size_t)n : 0);
    // The row holding offset may be any part of one; the next rows are whole.
    size_t row = data.find('\n');
    for (size_t nl; row != std::string_view::npos && (nl = data.find('\n', row + 1)) != std::string_view::npos; row = nl)
        if (frame::tail_start(data.substr(row + 1, nl - row)) != frame::npos) return offset + nl + 1;
    return 0;
}

bool Reader::open(const std::string &path, uint64_t offset, bool growing) {
    s_ = std::make_unique<State>();
    State &s = *s_;
    s.path = path;
    std::string why;
    int fd = open_day_file(path, why);
    if (fd < 0) return s.fail(why);
    struct stat st;
    fstat(fd, &st);
    s.id = {st.st_dev, st.st_ino};
    if (!s.source.open(fd, path)) return s.fail(s.source.error());
    s.open = true;
    s.growing = growing && s.source.plain();
    s.buf.resize(kBuffer);
    return s.skip(offset);
}

void Reader::set_limit(uint64_t limit) { s_->limit = limit; }
void Reader::only(int priority) {
    s_->filtered = true;
    s_->level = level_filter::of(priority);
}

Got Reader::next(Record &record) {
    if (!s_ || !s_->open) return Got::End;
    State &s = *s_;
    for (;;) {
        bool final = s.ended && (!s.growing || s.finished || s.damaged);
        frame::Cut c = s.next_cut(final);
        if (c.length > 0) {
            s.yield(c, record);
            return Got::Record;
        }
        if (final) {
            if (!s.damaged) return Got::End;
            s.damaged = false;  // said once; the file ends here
            return Got::Error;
        }
        ssize_t n = s.read_more();
        if (n < 0) {
            s.fail(s.source.error());
            s.damaged = s.ended = true;
        } else if (n == 0) {
            if (s.growing && !s.finished) return Got::Wait;
            s.ended = true;
        }
    }
}

void Reader::finish() { s_->finished = true; }
bool Reader::is_open() const { return s_ && s_->open; }
uint64_t Reader::offset() const { return s_->offset; }
FileId Reader::id() const { return s_->id; }
const std::string &Reader::path() const { return s_->path; }
const std::string &Reader::error() const { return s_->error; }

}  // namespace dayfile
