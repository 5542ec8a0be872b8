// Reading one day file in whole records: the bytes come from the file itself
// or through zlib or libzstd, and an incomplete tail is held back while it grows.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#ifdef TEMBRA_ZSTD
#include <zstd.h>
#endif

#include <cstdint>
#include <vector>

#include "reader/dayfile.h"
#include "reader/frame.h"

namespace dayfile {

namespace {

constexpr size_t kBuffer = 64 * 1024;

enum class Kind { Plain, Gzip, Zstd };

bool ends_with(const std::string &s, std::string_view end) {
    return s.size() >= end.size() && std::string_view(s).substr(s.size() - end.size()) == end;
}

// Where the next record (or line that is not one) of data ends, and how it parses.
struct Cut {
    size_t length = 0;  // 0: more bytes are needed to tell
    bool framed = false;
    size_t head = 0, tail = 0;
    bool skip = false;  // not of the one level asked for
};

Cut unframed(size_t length, bool skip) { return {length, false, 0, 0, skip}; }

bool has_level(std::string_view row, std::string_view level) {
    return row.size() > level.size() + 2 && row[0] == '[' && row[level.size() + 1] == ']' &&
           memcmp(row.data() + 1, level.data(), level.size()) == 0;
}

// A record runs from a head row to the first row ending in " (TYPE) \n";
// rows between are part of it whatever they look like. A head that finds no
// ending within kMaxRecord bytes, or before the data is final, stands alone.
// With only set, everything but the records of that level is skipped, and a
// one-row record of another level is told by its ending and first bytes alone.
Cut cut(std::string_view data, bool final, std::string_view only) {
    const char *start = data.data();
    auto newline = [&](size_t from, size_t limit) -> size_t {
        size_t len = std::min(data.size(), limit) - from;
        const void *nl = memchr(start + from, '\n', len);
        return nl ? (size_t)((const char *)nl - start) : frame::npos;
    };
    bool filtered = !only.empty();
    size_t nl = newline(0, data.size());
    if (nl == frame::npos)
        return final || data.size() >= kBuffer ? unframed(data.size(), filtered) : Cut{};
    std::string_view row = data.substr(0, nl + 1);
    size_t tail = frame::tail_start(row);
    if (tail != frame::npos && filtered && !has_level(row, only)) return unframed(row.size(), true);
    size_t head = frame::head_length(row);
    if (head == 0) return unframed(row.size(), filtered);
    bool skip = filtered && !has_level(row, only);
    if (tail != frame::npos) return tail >= head ? Cut{row.size(), true, head, tail, skip} : unframed(row.size(), filtered);
    for (size_t from = nl + 1; from < kMaxRecord;) {
        size_t next = newline(from, kMaxRecord);
        if (next == frame::npos) {
            bool undecided = data.size() < kMaxRecord && !final;
            return undecided ? Cut{} : unframed(row.size(), filtered);
        }
        tail = frame::tail_start(data.substr(from, next + 1 - from));
        if (tail != frame::npos) return {next + 1, true, head, from + tail, skip};
        from = next + 1;
    }
    return unframed(row.size(), filtered);
}

// The first "\n[LEVEL] " in data: each newline's following bytes compared
// eight at a time, quicker here than memmem.
const char *find_row(std::string_view data, std::string_view needle) {
    uint64_t head;
    memcpy(&head, needle.data(), sizeof head);
    const char *p = data.data(), *end = p + data.size();
    while ((p = (const char *)memchr(p, '\n', (size_t)(end - p))) != nullptr) {
        if ((size_t)(end - p) < needle.size()) return nullptr;
        uint64_t here;
        memcpy(&here, p, sizeof here);
        if (here == head && memcmp(p + 8, needle.data() + 8, needle.size() - 8) == 0) return p;
        ++p;
    }
    return nullptr;
}

// With data starting at a record's start, the bytes of whole records before
// the next row that starts "[LEVEL] ", found by one search rather than row by
// row; 0 when it cannot tell. A row ending in " (TYPE) \n" always ends what it
// is part of, so the row after it starts a record.
size_t skippable(std::string_view data, std::string_view needle) {
    if (has_level(data, needle.substr(2, needle.size() - 4))) return 0;
    const void *hit = find_row(data, needle);
    const void *last = hit ? hit : memrchr(data.data(), '\n', data.size());
    if (!last) return 0;
    size_t end = (size_t)((const char *)last - data.data());
    const void *before = end ? memrchr(data.data(), '\n', end) : nullptr;
    size_t row = before ? (size_t)((const char *)before - data.data()) + 1 : 0;
    return frame::tail_start(data.substr(row, end + 1 - row)) == frame::npos ? 0 : end + 1;
}

}  // namespace

struct Reader::State {
    Kind kind = Kind::Plain;
    int fd = -1;
    gzFile gz = nullptr;
#ifdef TEMBRA_ZSTD
    ZSTD_DCtx *zstd = nullptr;
    std::vector<char> packed;
    ZSTD_inBuffer in{nullptr, 0, 0};
    bool packed_done = false;
#endif
    std::string path, error;
    std::string only;    // yield only the records of this level name, when set
    std::string needle;  // "\n[LEVEL] " for it
    FileId id;
    bool growing = false, finished = false, ended = false;
    uint64_t limit = UINT64_MAX;
    uint64_t consumed = 0;  // bytes of the file taken into the buffer so far
    uint64_t offset = 0;    // the file offset of buf[begin]
    std::vector<char> buf;
    size_t begin = 0, end = 0;

    void close() {
        if (gz) gzclose(gz);  // closes fd too
        else if (fd >= 0) ::close(fd);
#ifdef TEMBRA_ZSTD
        if (zstd) ZSTD_freeDCtx(zstd);
        zstd = nullptr;
#endif
        gz = nullptr;
        fd = -1;
    }

    bool fail(const std::string &what) {
        error = path + ": " + what;
        return false;
    }

    // Up to room bytes of the file's (decompressed) contents; 0 at its end.
    ssize_t read_raw(char *to, size_t room) {
        if (kind == Kind::Plain) {
            ssize_t n;
            do n = ::read(fd, to, room);
            while (n < 0 && errno == EINTR);
            if (n < 0) fail(strerror(errno));
            return n;
        }
        if (kind == Kind::Gzip) {
            int n = gzread(gz, to, (unsigned)room);
            if (n < 0) {
                int code = 0;
                fail(gzerror(gz, &code));
            }
            return n;
        }
#ifdef TEMBRA_ZSTD
        ZSTD_outBuffer out{to, room, 0};
        while (out.pos == 0) {
            if (in.pos == in.size) {
                if (packed_done) return 0;
                ssize_t n = ::read(fd, packed.data(), packed.size());
                if (n < 0) return fail(strerror(errno)), -1;
                if (n == 0) {
                    packed_done = true;
                    return 0;
                }
                in = {packed.data(), (size_t)n, 0};
            }
            size_t rc = ZSTD_decompressStream(zstd, &out, &in);
            if (ZSTD_isError(rc)) return fail(ZSTD_getErrorName(rc)), -1;
        }
        return (ssize_t)out.pos;
#else
        return 0;
#endif
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
        ssize_t n = read_raw(buf.data() + end, room);
        if (n > 0) end += (size_t)n, consumed += (uint64_t)n;
        return n;
    }

    bool skip(uint64_t to) {
        if (kind == Kind::Plain) {
            if (lseek(fd, (off_t)to, SEEK_SET) < 0) return fail(strerror(errno));
            consumed = offset = to;
            return true;
        }
        while (consumed < to) {
            size_t want = (size_t)std::min<uint64_t>(buf.size(), to - consumed);
            ssize_t n = read_raw(buf.data(), want);
            if (n < 0) return false;
            if (n == 0) break;
            consumed += (uint64_t)n;
        }
        offset = consumed;
        return true;
    }
};

Reader::Reader() : s_(std::make_unique<State>()) {}
Reader::~Reader() {
    if (s_) s_->close();
}
Reader::Reader(Reader &&) noexcept = default;
Reader &Reader::operator=(Reader &&other) noexcept {
    if (s_) s_->close();
    s_ = std::move(other.s_);
    return *this;
}

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

bool Reader::open(const std::string &path, uint64_t offset, bool growing) {
    if (!s_) s_ = std::make_unique<State>();
    s_->close();
    State &s = *s_;
    s = State{};
    s.path = path;
    s.kind = ends_with(path, ".gz") ? Kind::Gzip : ends_with(path, ".zst") ? Kind::Zstd : Kind::Plain;
    s.growing = growing && s.kind == Kind::Plain;
    std::string why;
    s.fd = open_day_file(path, why);
    if (s.fd < 0) return s.fail(why);
    struct stat st;
    if (fstat(s.fd, &st) != 0) return s.fail(strerror(errno));
    s.id = {st.st_dev, st.st_ino};
    if (s.kind == Kind::Gzip) {
        s.gz = gzdopen(s.fd, "rb");
        if (!s.gz) return s.fail("cannot read it with zlib");
        gzbuffer(s.gz, 64 * 1024);
    } else if (s.kind == Kind::Zstd) {
#ifdef TEMBRA_ZSTD
        s.zstd = ZSTD_createDCtx();
        s.packed.resize(ZSTD_DStreamInSize());
#else
        return s.fail("this build reads no .zst files");
#endif
    }
    s.buf.resize(kBuffer);
    return s.skip(offset);
}

void Reader::set_limit(uint64_t limit) { s_->limit = limit; }
void Reader::only(int priority) {
    s_->only = level_name(priority);
    s_->needle = "\n[" + s_->only + "] ";
}

Got Reader::next(Record &record) {
    if (!s_ || s_->fd < 0) return Got::End;
    State &s = *s_;
    for (;;) {
        bool final = s.ended && (!s.growing || s.finished);
        std::string_view data(s.buf.data() + s.begin, s.end - s.begin);
        if (!s.only.empty() && !data.empty()) {
            size_t skip = skippable(data, s.needle);
            s.offset += skip;
            s.begin += skip;
            data.remove_prefix(skip);
        }
        Cut c = data.empty() ? Cut{} : cut(data, final, s.only);
        if (c.skip) {
            s.offset += c.length;
            s.begin += c.length;
            continue;
        }
        if (c.length > 0) {
            std::string_view bytes = data.substr(0, c.length);
            if (c.framed) {
                frame::fill(bytes, c.head, c.tail, record);
            } else {
                record = Record{};
                record.raw = bytes;
            }
            record.offset = s.offset;
            record.end = s.offset + c.length;
            s.offset = record.end;
            s.begin += c.length;
            return Got::Record;
        }
        if (final) return Got::End;
        ssize_t n = s.read_more();
        if (n < 0) return Got::Error;
        if (n == 0) {
            if (s.growing && !s.finished) return Got::Wait;
            s.ended = true;
        }
    }
}

void Reader::finish() { s_->finished = true; }
bool Reader::is_open() const { return s_ && s_->fd >= 0; }
uint64_t Reader::offset() const { return s_->offset; }
FileId Reader::id() const { return s_->id; }
const std::string &Reader::path() const { return s_->path; }
const std::string &Reader::error() const { return s_->error; }

}  // namespace dayfile
