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

#include "dayfile.h"
#include "frame.h"

namespace dayfile {

namespace {

constexpr size_t kBuffer = 256 * 1024;

enum class Kind { Plain, Gzip, Zstd };

bool ends_with(const std::string &s, std::string_view end) {
    return s.size() >= end.size() && std::string_view(s).substr(s.size() - end.size()) == end;
}

// Where the next record (or line that is not one) of data ends, and how it parses.
struct Cut {
    size_t length = 0;  // 0: more bytes are needed to tell
    bool framed = false;
    size_t head = 0, tail = 0;
};

Cut unframed(size_t length) { return {length, false, 0, 0}; }

// A record runs from a head row to the first row ending in " (TYPE) \n";
// rows between are part of it whatever they look like. A head that finds no
// ending within kMaxRecord bytes, or before the data is final, stands alone.
Cut cut(std::string_view data, bool final) {
    const char *start = data.data();
    auto newline = [&](size_t from, size_t limit) -> size_t {
        size_t len = std::min(data.size(), limit) - from;
        const void *nl = memchr(start + from, '\n', len);
        return nl ? (size_t)((const char *)nl - start) : frame::npos;
    };
    size_t nl = newline(0, data.size());
    if (nl == frame::npos) return final || data.size() >= kBuffer ? unframed(data.size()) : Cut{};
    std::string_view row = data.substr(0, nl + 1);
    size_t head = frame::head_length(row);
    if (head == 0) return unframed(row.size());
    size_t tail = frame::tail_start(row);
    if (tail != frame::npos) return tail >= head ? Cut{row.size(), true, head, tail} : unframed(row.size());
    for (size_t from = nl + 1; from < kMaxRecord;) {
        size_t next = newline(from, kMaxRecord);
        if (next == frame::npos) {
            bool undecided = data.size() < kMaxRecord && !final;
            return undecided ? Cut{} : unframed(row.size());
        }
        tail = frame::tail_start(data.substr(from, next + 1 - from));
        if (tail != frame::npos) return {next + 1, true, head, from + tail};
        from = next + 1;
    }
    return unframed(row.size());
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

bool Reader::open(const std::string &path, uint64_t offset, bool growing) {
    if (!s_) s_ = std::make_unique<State>();
    s_->close();
    State &s = *s_;
    s = State{};
    s.path = path;
    s.kind = ends_with(path, ".gz") ? Kind::Gzip : ends_with(path, ".zst") ? Kind::Zstd : Kind::Plain;
    s.growing = growing && s.kind == Kind::Plain;
    s.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (s.fd < 0) return s.fail(strerror(errno));
    struct stat st;
    if (fstat(s.fd, &st) != 0) return s.fail(strerror(errno));
    s.id = {st.st_dev, st.st_ino};
    if (s.kind == Kind::Gzip) {
        s.gz = gzdopen(s.fd, "rb");
        if (!s.gz) return s.fail("cannot read it with zlib");
        gzbuffer(s.gz, 128 * 1024);
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

Got Reader::next(Record &record) {
    if (!s_ || s_->fd < 0) return Got::End;
    State &s = *s_;
    for (;;) {
        bool final = s.ended && (!s.growing || s.finished);
        std::string_view data(s.buf.data() + s.begin, s.end - s.begin);
        Cut c = data.empty() ? Cut{} : cut(data, final);
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
