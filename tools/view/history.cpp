// What the files hold now: every record in time order, newest first through
// a temporary file read backwards, or the last N found from the files' ends.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <optional>

#include "merge.h"
#include "run.h"

namespace view {

namespace {

// Newest first without holding everything: the formatted records go to an
// unnamed temporary file, with their starts in a second one, both written
// and read backwards a block at a time.
class Spool {
  public:
    Spool() : text_(std::tmpfile()), starts_(std::tmpfile()) {}
    ~Spool() {
        if (text_) std::fclose(text_);
        if (starts_) std::fclose(starts_);
    }
    bool ok() const { return text_ && starts_ && !failed_; }
    void add(const std::string &record) {
        starts_held_.push_back(size_);
        text_held_ += record;
        size_ += record.size();
        if (text_held_.size() >= kBlock) save(text_, text_held_.data(), text_held_.size()), text_held_.clear();
        if (starts_held_.size() >= kBlock / sizeof size_) save_starts();
    }
    bool replay(Sink &sink);

  private:
    static constexpr size_t kBlock = 1 << 20;

    void save(std::FILE *file, const void *bytes, size_t length) {
        const char *at = (const char *)bytes;
        for (ssize_t n; length > 0 && !failed_; at += n, length -= (size_t)n) {
            n = ::write(fileno(file), at, length);
            failed_ = n <= 0 && errno != EINTR;
            if (n < 0) n = 0;
        }
    }
    void save_starts() {
        save(starts_, starts_held_.data(), starts_held_.size() * sizeof size_);
        count_ += (long)starts_held_.size();
        starts_held_.clear();
    }

    std::FILE *text_, *starts_;
    std::string text_held_;
    std::vector<uint64_t> starts_held_;
    uint64_t size_ = 0;
    long count_ = 0;
    bool failed_ = false;
};

bool Spool::replay(Sink &sink) {
    save(text_, text_held_.data(), text_held_.size());
    save_starts();
    if (failed_) return false;
    long count = count_;
    std::vector<uint64_t> starts;
    std::string window;
    uint64_t from = size_, end = size_;  // window holds the text's bytes [from, from + window.size())
    for (long high = count; high > 0;) {
        long low = std::max(0L, high - (long)(kBlock / sizeof size_));
        starts.resize((size_t)(high - low));
        size_t want = starts.size() * sizeof size_;
        if (pread(fileno(starts_), starts.data(), want, low * (long)sizeof size_) != (ssize_t)want) return false;
        for (long i = high - 1; i >= low; --i) {
            uint64_t start = starts[(size_t)(i - low)];
            if (start < from) {
                from = std::min(start, end > kBlock ? end - kBlock : 0);
                window.resize(end - from);
                if (pread(fileno(text_), window.data(), window.size(), (off_t)from) != (ssize_t)window.size())
                    return false;
            }
            if (!sink.write(std::string_view(window).substr(start - from, end - start))) return true;
            end = start;
            window.resize(end - from);
        }
        high = low;
    }
    return true;
}

// The last N shown records need only the ends of day files listed in date
// order: a record waits in the queue minutes at most, so nothing before the
// part read can be later than its earliest record by more than this.
constexpr time_t kQueueWait = 600;

bool in_date_order(const std::vector<std::string> &files) {
    for (size_t i = 0; i < files.size(); ++i)
        if (dayfile::date_of(files[i]) == 0 || (i > 0 && dayfile::date_of(files[i]) < dayfile::date_of(files[i - 1])))
            return false;
    return true;
}

// Where to start so that about bytes are read, at a record's start.
From start_for(const std::vector<std::string> &files, uint64_t bytes) {
    for (size_t i = files.size(); i-- > 0;) {
        struct stat st;
        uint64_t size = stat(files[i].c_str(), &st) == 0 ? (uint64_t)st.st_size : 0;
        if (size >= bytes) {
            bool plain = files[i].ends_with(".log");
            return {i, plain ? dayfile::record_start_after(files[i], size - bytes) : 0};
        }
        bytes -= size;
    }
    return {};
}

struct Last {
    std::deque<std::string> texts;
    std::deque<time_t> times;
};

// The last N records read from where; false when records before it could belong among them.
bool last_from(const Settings &s, const std::vector<std::string> &files, From where, const Style &style,
               Notes &notes, Last &last, std::vector<dayfile::Position> &ends) {
    Merge merge(s, files, s.follow, notes, where);
    std::string text;
    merge.run([&](const dayfile::Record &r, time_t t, const std::string &file) {
        text.clear();
        format(text, style, r, t, file);
        last.texts.push_back(text);
        last.times.push_back(t);
        if ((long)last.texts.size() > s.lines) last.texts.pop_front(), last.times.pop_front();
        return true;
    });
    ends = merge.ends();
    if (where.file == 0 && where.offset == 0) return true;
    time_t floor = std::max(merge.earliest(), start_of(files[where.file]));
    return (long)last.texts.size() == s.lines && (s.lines == 0 || last.times.front() > floor + kQueueWait);
}

long print_last(const Settings &s, const std::vector<std::string> &files, const Style &style, Sink &sink,
                Notes &notes, std::vector<dayfile::Position> &ends) {
    Last last;
    bool ends_only = in_date_order(files);
    for (uint64_t bytes = 1 << 20;; bytes *= 4) {
        From where = ends_only ? start_for(files, bytes) : From{};
        last = Last{};
        if (last_from(s, files, where, style, notes, last, ends)) break;
    }
    if (s.reverse) std::reverse(last.texts.begin(), last.texts.end());
    for (const std::string &record : last.texts)
        if (!sink.write(record)) break;
    return (long)last.texts.size();
}

}  // namespace

long print_history(const Settings &s, const std::vector<std::string> &files, const Style &style, Sink &sink,
                   Notes &notes, std::vector<dayfile::Position> &ends) {
    if (s.lines >= 0) return print_last(s, files, style, sink, notes, ends);
    std::optional<Spool> spool;
    if (s.reverse) spool.emplace();
    if (spool && !spool->ok()) {
        std::fprintf(stderr, "tembra-view: cannot make a temporary file for --reverse\n");
        return 0;
    }
    long shown = 0;
    Merge merge(s, files, s.follow, notes);
    std::string text;
    merge.run([&](const dayfile::Record &r, time_t t, const std::string &file) {
        text.clear();
        format(text, style, r, t, file);
        ++shown;
        if (!spool) return sink.write(text);
        spool->add(text);
        return true;
    });
    ends = merge.ends();
    if (spool && !spool->replay(sink))
        std::fprintf(stderr, "tembra-view: the temporary file for --reverse could not be read back\n");
    return shown;
}

}  // namespace view
