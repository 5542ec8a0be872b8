// The day files of a directory, and following them: the day's file as it
// grows, its replacement when it is removed or replaced, then the next day's.
#include <dirent.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <errno.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <utility>

#include "reader/dayfile.h"
#include "reader/frame.h"

namespace dayfile {

namespace {

// How long a day's file is still read after a later one appeared: a drain
// may write its last batch to it just after a producer created the next.
constexpr int64_t kGraceMs = 2000;
constexpr int kPollMs = 200;
// With account_for_all: how often earlier files are looked at, and for how long
// after their last change.
constexpr int64_t kEarlierCheckMs = 1000;
constexpr time_t kEarlierSeconds = 24 * 3600;

int64_t now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

bool stat_id(const std::string &path, FileId &id, uint64_t *size = nullptr) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    id = {st.st_dev, st.st_ino};
    if (size) *size = (uint64_t)st.st_size;
    return true;
}

// Today's date by the clock, YYYYMMDD: a day file dated later (a mistyped
// or future name) is not the day being written, and is not followed.
int today() {
    time_t now = time(nullptr);
    tm local;
    localtime_r(&now, &local);
    return (local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday;
}

// The day files not dated after today.
std::vector<DayFile> up_to_today(std::vector<DayFile> files) {
    int last = today();
    std::erase_if(files, [last](const DayFile &f) { return f.date > last; });
    return files;
}

}  // namespace

int date_of(const std::string &path) { return log_day_file_date(path.c_str()); }

std::string directory_problem(const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    if (!d) return strerror(errno);
    closedir(d);
    return "";
}

bool parse_line(std::string_view line, Record &record) {
    size_t head = frame::head_length(line);
    size_t tail = frame::tail_start(line);
    if (head == 0 || tail == frame::npos || tail < head || line.find('\n') != line.size() - 1) return false;
    frame::fill(line, head, tail, record);
    return true;
}

std::vector<DayFile> list_day_files(const std::string &dir) {
    std::vector<DayFile> files;
    DIR *d = opendir(dir.c_str());
    if (!d) return files;
    std::string base = dir.ends_with('/') ? dir : dir + "/";
    while (dirent *e = readdir(d)) {
        int date = date_of(e->d_name);
        if (date != 0) files.push_back({base + e->d_name, date, !std::string_view(e->d_name).ends_with(".log")});
    }
    closedir(d);
    std::sort(files.begin(), files.end(), [](const DayFile &a, const DayFile &b) {
        if (a.date != b.date) return a.date < b.date;
        if (a.compressed != b.compressed) return a.compressed;
        return a.path < b.path;
    });
    return files;
}

Follower::Follower(std::string dir) : dir_(std::move(dir)) {
    if (!dir_.ends_with('/')) dir_ += '/';
    notify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
}

Follower::~Follower() {
    if (notify_ >= 0) close(notify_);
}

bool Follower::open_file(const std::string &path, uint64_t offset) {
    bool compressed = !path.ends_with(".log");
    uint64_t size = 0;
    FileId id;
    if (!compressed && stat_id(path, id, &size) && size < offset) offset = 0;
    if (!reader_.open(path, offset, !compressed)) {
        error_ = reader_.error();
        return false;
    }
    date_ = date_of(path);
    reopen_ = false;
    later_seen_ms_ = -1;
    pos_ = {reader_.id(), reader_.offset(), path};
    return true;
}

void Follower::start(const Position *from) {
    reader_ = Reader();
    std::vector<DayFile> files = list_day_files(dir_);
    int since = from ? date_of(from->path) : 0;
    if (from && from->id != FileId{}) {
        for (const DayFile &f : files) {
            FileId id;
            if ((since == 0 || f.date == since) && stat_id(f.path, id) && id == from->id &&
                open_file(f.path, from->offset)) {
                if (accounting_) realign();
                return;
            }
        }
        // Retention may have compressed it since: the same bytes, so the same offset.
        for (const DayFile &f : files)
            if (f.date == since && f.compressed && open_file(f.path, from->offset)) return;
    }
    date_ = since;
    if (from) pos_ = *from;
    advance();
}

// Opens what comes after the current file, or the first file when none is open;
// a file that cannot be opened is told once and skipped.
bool Follower::advance() {
    std::vector<DayFile> all = list_day_files(dir_);
    std::string why = all.empty() ? directory_problem(dir_) : "";
    if (!why.empty()) problem(dir_, why);
    else std::erase(unread_, dir_);
    std::vector<DayFile> files = up_to_today(std::move(all));
    if (reader_.is_open()) {
        const std::string &path = reader_.path();
        FileId id;
        if (path.ends_with(".log") && stat_id(path, id) && (id != reader_.id() || reopen_))
            return open_file(std::string(path), 0);
    }
    for (size_t i = 0; i < files.size(); ++i) {
        const DayFile &f = files[i];
        bool wanted = reader_.is_open() ? f.date > date_ : f.date >= date_;
        // Of a compressed and a plain file of one date, the plain one (listed last).
        bool superseded = i + 1 < files.size() && files[i + 1].date == f.date;
        if (!wanted || superseded || std::find(skipped_.begin(), skipped_.end(), f.path) != skipped_.end())
            continue;
        if (reader_.is_open()) finished_current();
        if (open_file(f.path, 0)) return true;
        struct stat st;
        if (lstat(f.path.c_str(), &st) != 0 && errno == ENOENT) continue;  // gone since the listing
        problem(f.path, error_);
        skipped_.push_back(f.path);
        if (accounting_) earlier_.push_back({{}, 0, f.path});
        date_ = f.date;
    }
    return false;
}

// Finishes the current file when it was removed, replaced or cut short, or
// when a later day's file has existed for the grace period; true when it did.
bool Follower::check_current() {
    FileId id;
    uint64_t size = 0;
    if (!stat_id(reader_.path(), id, &size) || id != reader_.id() || size < reader_.offset()) {
        reopen_ = id == reader_.id();
        reader_.finish();
        return true;
    }
    std::vector<DayFile> files = up_to_today(list_day_files(dir_));
    bool later = !files.empty() && files.back().date > date_;
    if (!later) {
        later_seen_ms_ = -1;
        return false;
    }
    if (later_seen_ms_ < 0) later_seen_ms_ = now_ms();
    if (now_ms() - later_seen_ms_ < (grace_ms_ < 0 ? kGraceMs : grace_ms_)) return false;
    reader_.finish();
    return true;
}

Got Follower::next(Record &record, int timeout_ms) {
    int64_t deadline = now_ms() + timeout_ms;
    for (;;) {
        if (accounting_ && (late_.is_open() || now_ms() >= late_next_ms_) && next_earlier(record) == Got::Record)
            return Got::Record;
        Got got = reader_.is_open() ? reader_.next(record) : Got::End;
        if (got == Got::Error && accounting_) {
            give_up_current();
            continue;
        }
        if (got == Got::Record) pos_.offset = reader_.offset();
        if (got == Got::Error) error_ = reader_.error();
        if (got == Got::Record || got == Got::Error) return got;
        if (got == Got::Wait ? check_current() : advance()) continue;
        int64_t left = deadline - now_ms();
        if (left <= 0) return Got::Wait;
        wait((int)std::min<int64_t>(left, kPollMs));
    }
}

void Follower::wait(int timeout_ms) {
    if (notify_ < 0) {
        usleep((useconds_t)timeout_ms * 1000);
        return;
    }
    // The watch is set once the directory exists; until then, plain polling.
    inotify_add_watch(notify_, dir_.c_str(),
                      IN_MODIFY | IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_CLOSE_WRITE);
    pollfd p = {notify_, POLLIN, 0};
    poll(&p, 1, timeout_ms);
    char events[4096];
    while (read(notify_, events, sizeof events) > 0) {
    }
}

void Follower::account_for_all(bool once, const std::vector<Position> &earlier) {
    accounting_ = true;
    grace_ms_ = once ? 0 : -1;
    earlier_ = earlier;
    for (const Position &p : earlier_) skipped_.push_back(p.path);
}

std::vector<Position> Follower::positions() const {
    std::vector<Position> all;
    if (pos_.path.empty()) return all;  // earlier files are kept only behind a current one
    all.reserve(1 + earlier_.size());
    all.push_back(pos_);
    for (const Position &p : earlier_)
        if (!p.path.empty()) all.push_back(p);
    return all;
}

std::vector<std::string> Follower::take_problems() { return std::exchange(fresh_, {}); }
bool Follower::has_unread() const { return !unread_.empty(); }

void Follower::problem(const std::string &path, const std::string &why) {
    if (std::find(unread_.begin(), unread_.end(), path) == unread_.end()) unread_.push_back(path);
    std::string text = why.starts_with(path) ? why : path + ": " + why;
    if (std::find(told_.begin(), told_.end(), text) != told_.end()) return;
    told_.push_back(text);
    fresh_.push_back(text);
}

// A saved offset inside a line (the file was rewritten, or the position was not
// ours) goes on at the start of the next line; the line's rest is not sent.
void Follower::realign() {
    uint64_t at = reader_.offset();
    Reader probe;
    Record r;
    if (at == 0 || !probe.open(reader_.path(), at - 1) || probe.next(r) != Got::Record ||
        r.raw == "\n" || !r.raw.ends_with('\n'))
        return;
    std::string path = reader_.path(), text = path + ": the saved position " + std::to_string(at) +
                                              " is inside a line; going on at the next line, " +
                                              std::to_string(r.end);
    if (!open_file(path, r.end)) return;
    told_.push_back(text);
    fresh_.push_back(text);
}

// The current file failed to read: told once, and the files after it are read.
void Follower::give_up_current() {
    problem(reader_.path(), reader_.error());
    skipped_.push_back(reader_.path());
    // Tried again from where it failed, as a file not opened yet.
    if (accounting_) earlier_.push_back({{}, reader_.offset(), reader_.path()});
    reader_ = Reader();
}

// The current file is done: follow it on as an earlier file while it is recent.
void Follower::finished_current() {
    struct stat st;
    if (!accounting_ || !reader_.path().ends_with(".log") || stat(reader_.path().c_str(), &st) != 0 ||
        st.st_mtime < time(nullptr) - kEarlierSeconds)
        return;
    std::erase_if(earlier_, [&](const Position &p) { return p.path == reader_.path(); });
    earlier_.push_back({reader_.id(), reader_.offset(), reader_.path()});
    skipped_.push_back(reader_.path());
}

// Whether p's file holds more than was read of it (or was never opened); an
// entry whose file went, was replaced or has not changed for a day is dropped.
bool Follower::earlier_grew(Position &p) {
    if (p.id == FileId{}) return true;
    struct stat st;
    bool same = stat(p.path.c_str(), &st) == 0 && FileId{st.st_dev, st.st_ino} == p.id &&
                (uint64_t)st.st_size >= p.offset;
    if (same && (uint64_t)st.st_size > p.offset) return true;
    if (!same || st.st_mtime < time(nullptr) - kEarlierSeconds) p.path.clear();
    return false;
}

// The next record appended to an earlier file, looking at each in turn.
Got Follower::next_earlier(Record &record) {
    for (;;) {
        if (late_.is_open()) {
            Got got = late_.next(record);
            if (got == Got::Record) {
                earlier_[late_index_].offset = late_.offset();
                return got;
            }
            if (got == Got::Error) problem(earlier_[late_index_].path, late_.error());
            late_ = Reader();
            ++late_index_;
        }
        while (late_index_ < earlier_.size() && !earlier_grew(earlier_[late_index_])) ++late_index_;
        if (late_index_ >= earlier_.size()) {
            std::erase_if(earlier_, [](const Position &p) { return p.path.empty(); });
            late_index_ = 0;
            late_next_ms_ = now_ms() + kEarlierCheckMs;
            return Got::Wait;
        }
        Position &p = earlier_[late_index_];
        if (!late_.open(p.path, p.offset, true)) {
            problem(p.path, late_.error());
            late_ = Reader();
            ++late_index_;
            continue;
        }
        if (p.id == FileId{}) p.id = late_.id();
        std::erase(unread_, p.path);
    }
}

Position Follower::position() const { return pos_; }
const std::string &Follower::error() const { return error_; }

}  // namespace dayfile
