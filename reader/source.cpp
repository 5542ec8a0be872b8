// Bytes of a day file: read as they are, or inflated (gzip members one
// after another) or decompressed (zstd frames); damage ends the bytes with
// an error naming it, after everything that could be read before it.
#include "reader/source.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>
#ifdef TEMBRA_ZSTD
#include <zstd.h>
#endif

#include <string_view>
#include <vector>

namespace dayfile {

namespace {

enum class Kind { Plain, Gzip, Zstd };

constexpr size_t kPacked = 64 * 1024;
const char kCutShort[] = "damaged: the compressed data stops short (the file was cut off)";

}  // namespace

struct Source::State {
    Kind kind = Kind::Plain;
    int fd = -1;
    std::vector<char> packed;  // compressed bytes read but not yet decompressed
    size_t in_at = 0, in_end = 0;
    bool eof = false;      // the file has no more compressed bytes
    bool between = true;   // at the start of a member or frame (a clean end is allowed)
    bool failed = false;
    std::string damage;    // found after bytes that are still to be yielded
    z_stream z{};
    bool z_ready = false;
#ifdef TEMBRA_ZSTD
    ZSTD_DCtx *zstd = nullptr;
#endif
    std::string error;

    ssize_t fail(const std::string &why) {
        error = why;
        failed = true;
        return -1;
    }

    // Damage found after produced bytes: those first, the damage on the next read.
    ssize_t damaged(const std::string &why, size_t produced) {
        if (produced == 0) return fail("damaged: " + why);
        damage = why;
        return (ssize_t)produced;
    }

    ssize_t read_fd(char *to, size_t room) {
        ssize_t n;
        do n = ::read(fd, to, room);
        while (n < 0 && errno == EINTR);
        if (n < 0) fail(strerror(errno));
        return n;
    }

    // Refills packed once it is used up; false at the end or on an error.
    bool refill() {
        if (in_at < in_end) return true;
        if (eof) return false;
        ssize_t n = read_fd(packed.data(), packed.size());
        if (n <= 0) {
            eof = n == 0;
            return false;
        }
        in_at = 0;
        in_end = (size_t)n;
        return true;
    }

    ssize_t gunzip(char *to, size_t room) {
        z.next_out = (Bytef *)to;
        z.avail_out = (uInt)room;
        while (z.avail_out == room) {
            if (!refill()) return failed ? -1 : between ? 0 : fail(kCutShort);
            z.next_in = (Bytef *)packed.data() + in_at;
            z.avail_in = (uInt)(in_end - in_at);
            int rc = inflate(&z, Z_NO_FLUSH);
            in_at = in_end - z.avail_in;
            between = rc == Z_STREAM_END;
            if (rc == Z_STREAM_END) inflateReset(&z);  // another member may follow
            else if (rc != Z_OK && rc != Z_BUF_ERROR)
                return damaged(z.msg ? z.msg : "not gzip data", room - z.avail_out);
        }
        return (ssize_t)(room - z.avail_out);
    }

    ssize_t unzstd(char *to, size_t room) {
#ifdef TEMBRA_ZSTD
        ZSTD_outBuffer out{to, room, 0};
        while (out.pos == 0) {
            if (!refill()) return failed ? -1 : between ? 0 : fail(kCutShort);
            ZSTD_inBuffer in{packed.data() + in_at, in_end - in_at, 0};
            size_t rc = ZSTD_decompressStream(zstd, &out, &in);
            in_at += in.pos;
            if (ZSTD_isError(rc)) return damaged(ZSTD_getErrorName(rc), out.pos);
            between = rc == 0;
        }
        return (ssize_t)out.pos;
#else
        (void)to, (void)room;
        return fail("this build reads no .zst files");
#endif
    }
};

Source::Source() : s_(std::make_unique<State>()) {}
Source::~Source() { close(); }
Source::Source(Source &&) noexcept = default;
Source &Source::operator=(Source &&other) noexcept {
    close();
    s_ = std::move(other.s_);
    return *this;
}

bool Source::open(int fd, const std::string &path) {
    close();
    s_ = std::make_unique<State>();
    State &s = *s_;
    s.fd = fd;
    std::string_view name(path);
    s.kind = name.ends_with(".gz") ? Kind::Gzip : name.ends_with(".zst") ? Kind::Zstd : Kind::Plain;
    if (s.kind == Kind::Plain) return true;
    s.packed.resize(kPacked);
    if (s.kind == Kind::Gzip) {
        if (inflateInit2(&s.z, 15 + 16) != Z_OK) return s.fail("cannot start zlib"), false;
        s.z_ready = true;
        return true;
    }
#ifdef TEMBRA_ZSTD
    s.zstd = ZSTD_createDCtx();
    return s.zstd != nullptr || (s.fail("cannot start libzstd"), false);
#else
    return s.fail("this build reads no .zst files"), false;
#endif
}

ssize_t Source::read(char *to, size_t room) {
    State &s = *s_;
    if (s.failed) return -1;
    if (!s.damage.empty()) return s.fail("damaged: " + s.damage);
    switch (s.kind) {
    case Kind::Plain: return s.read_fd(to, room);
    case Kind::Gzip: return s.gunzip(to, room);
    case Kind::Zstd: return s.unzstd(to, room);
    }
    return -1;
}

bool Source::seek(uint64_t offset) {
    if (lseek(s_->fd, (off_t)offset, SEEK_SET) >= 0) return true;
    s_->fail(strerror(errno));
    return false;
}

bool Source::plain() const { return s_->kind == Kind::Plain; }

void Source::close() {
    if (!s_) return;
    if (s_->z_ready) inflateEnd(&s_->z);
#ifdef TEMBRA_ZSTD
    if (s_->zstd) ZSTD_freeDCtx(s_->zstd);
    s_->zstd = nullptr;
#endif
    if (s_->fd >= 0) ::close(s_->fd);
    s_->fd = -1;
    s_->z_ready = false;
}

const std::string &Source::error() const { return s_->error; }

}  // namespace dayfile
