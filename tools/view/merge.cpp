// Merging by timestamp: the drain writes each level's records in time order
// but the levels in batches, so each (file, level) is a sorted stream.
#include "merge.h"

#include "passes.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <queue>

namespace view {

struct Merge::Stream {
    std::unique_ptr<dayfile::Reader> reader;  // none while parked or when done
    size_t file = 0;            // index into files_
    int priority = 0;           // the level this stream yields, or kRest
    bool growing = false;       // a plain file of a snapshot
    uint64_t limit = UINT64_MAX;
    time_t last_time = 0;       // time of the last record read, given to a line that is not one
    dayfile::Record head;       // the next record to show (its text only while not parked)
    time_t head_time = 0;
};

namespace {

// The stream of lines that are not records and of levels outside the table.
constexpr int kRest = LOG_LEVEL_COUNT;

int stream_of(const dayfile::Record &r) {
    return r.framed && r.priority >= 0 && r.priority <= LOG_PRIORITY_MAX ? r.priority : kRest;
}

}  // namespace

// A file's passes through a repeated hour, from one reading of all of it.
struct Merge::Repeat : Passes {
    explicit Repeat(const std::string &path) {
        dayfile::Reader reader;
        dayfile::Record r;
        if (!reader.open(path)) return;
        while (reader.next(r) == dayfile::Got::Record) observe(r);
    }
};

time_t Merge::time_of(const Stream &s, const dayfile::Record &r) {
    if (!r.repeated) return r.time;
    if (!repeats_[s.file]) repeats_[s.file] = std::make_unique<Repeat>(files_[s.file]);
    return repeats_[s.file]->time_of(r);
}

time_t start_of(const std::string &path) {
    int date = dayfile::date_of(path);
    if (date == 0) return 0;
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d 00:00:00", date / 10000, date / 100 % 100, date % 100);
    time_t t = dayfile::local_time(stamp);
    return t == -1 ? 0 : t;
}

// Each stream is read up to its first record and then parked, its file
// closed, until the merge reaches that record: only the files whose records
// are being merged are open, however many there are.
Merge::Merge(const Settings &settings, std::vector<std::string> files, bool snapshot, Notes &notes, From from)
    : settings_(settings), files_(std::move(files)), notes_(notes), ends_(files_.size()), repeats_(files_.size()) {
    int low = std::max(settings.min_priority, 0), high = std::min(settings.max_priority, LOG_PRIORITY_MAX);
    // Lines that are not records and levels outside the table: a stream of their own.
    int first = settings.by_priority ? high : kRest;
    for (size_t i = from.file; i < files_.size(); ++i) {
        // A day file holds records of its own date and earlier only.
        if (settings.since != LONG_MIN && dayfile::date_of(files_[i]) != 0 &&
            start_of(files_[i]) + 86400 * 2 < settings.since)
            continue;
        struct stat st;
        bool growing = snapshot && files_[i].ends_with(".log") && stat(files_[i].c_str(), &st) == 0;
        for (int p = first; p >= low; p = p == kRest ? high : p - 1) {
            auto s = std::make_unique<Stream>();
            s->file = i;
            s->priority = p;
            s->growing = growing;
            s->limit = growing ? (uint64_t)st.st_size : UINT64_MAX;
            s->last_time = start_of(files_[i]);
            if (!open(*s, i == from.file ? from.offset : 0)) break;
            if (!advance(*s)) continue;
            s->reader.reset();
            streams_.push_back(std::move(s));
        }
    }
}

Merge::~Merge() = default;

bool Merge::open(Stream &s, uint64_t offset) {
    s.reader = std::make_unique<dayfile::Reader>();
    if (!s.reader->open(files_[s.file], offset, s.growing)) {
        notes_.reader_error(files_[s.file], s.reader->error());
        s.reader.reset();
        return false;
    }
    s.reader->set_limit(s.limit);
    if (s.priority != kRest) s.reader->only(s.priority);
    return true;
}

bool Merge::advance(Stream &s) {
    for (;;) {
        dayfile::Got got = s.reader->next(s.head);
        if (got == dayfile::Got::Error) notes_.reader_error(files_[s.file], s.reader->error());
        if (got != dayfile::Got::Record) {
            ends_[s.file] = {s.reader->id(), s.reader->offset(), files_[s.file]};
            s.reader.reset();
            return false;
        }
        const dayfile::Record &r = s.head;
        if (r.framed) s.last_time = time_of(s, r);
        bool mine = stream_of(r) == s.priority;
        s.head_time = s.last_time;
        if (mine && r.framed) earliest_ = std::min(earliest_, s.head_time);
        if (mine && wanted(settings_, r, s.head_time)) return true;
    }
}

void Merge::run(const Emit &emit) {
    // Earliest first; equal times in file order, then by place in the file.
    auto later = [](const Stream *a, const Stream *b) {
        if (a->head_time != b->head_time) return a->head_time > b->head_time;
        if (a->file != b->file) return a->file > b->file;
        return a->head.offset > b->head.offset;
    };
    std::priority_queue<Stream *, std::vector<Stream *>, decltype(later)> heads(later);
    for (auto &s : streams_) heads.push(s.get());
    while (!heads.empty()) {
        Stream *s = heads.top();
        heads.pop();
        if (!s->reader) {
            // Unparked: its head is read again from where it starts.
            if (open(*s, s->head.offset) && advance(*s)) heads.push(s);
            continue;
        }
        if (!emit(s->head, s->head_time, files_[s->file])) return;
        if (advance(*s)) heads.push(s);
    }
}

}  // namespace view
