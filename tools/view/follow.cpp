// Following: the log directory's day file of today as the drain writes it,
// or only the files named on the command line as they grow.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>

#include "passes.h"
#include "run.h"

namespace view {

namespace {

volatile sig_atomic_t stop_requested = 0;
void on_stop(int) { stop_requested = 1; }

void stop_on_signals() {
    struct sigaction stop = {};
    stop.sa_handler = on_stop;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
}

// Records gathered until nothing more is ready, then printed in time order.
class Batch {
  public:
    Batch(const Settings &s, const Style &style, Sink &sink) : s_(s), style_(style), sink_(sink) {}
    // false when the batch is full and should be printed now.
    bool add(const dayfile::Record &r, const std::string &file) {
        if (file != file_) file_ = file, passes_ = Passes();
        passes_.observe(r);
        if (r.framed) last_time_ = live_time(r);
        time_t t = last_time_;
        if (!wanted(s_, r, t)) return true;
        std::string text;
        format(text, style_, r, t, file);
        items_.push_back({t, std::move(text)});
        return items_.size() < 4096;
    }
    bool empty() const { return items_.empty(); }
    // false once nobody reads any more.
    bool print() {
        std::stable_sort(items_.begin(), items_.end(), [](const Item &a, const Item &b) { return a.time < b.time; });
        for (const Item &item : items_) sink_.write(item.text);
        shown += (long)items_.size();
        items_.clear();
        return sink_.flush();
    }
    long shown = 0;

  private:
    // A record just written in a repeated hour is of the pass the clock is
    // in now; an older one is told by its file's order alone.
    time_t live_time(const dayfile::Record &r) const {
        time_t ordered = passes_.time_of(r);
        if (!r.repeated || ordered != r.time) return ordered;
        time_t later = dayfile::repeated_time(r.stamp), now = time(nullptr);
        bool fresh = later != -1 && later <= now + 60 && now - later < 3600;
        return fresh ? later : ordered;
    }

    struct Item {
        time_t time;
        std::string text;
    };
    const Settings &s_;
    const Style &style_;
    Sink &sink_;
    std::vector<Item> items_;
    time_t last_time_ = 0;
    std::string file_;  // the file the last record came from
    Passes passes_;     // its passes through a repeated hour
};

}  // namespace

long follow_directory(const Settings &s, const std::string &dir, const dayfile::Position &from, const Style &style,
                      Sink &sink, Notes &notes) {
    stop_on_signals();
    dayfile::Follower follower(dir);
    follower.start(from.path.empty() ? nullptr : &from);
    Batch batch(s, style, sink);
    while (!stop_requested) {
        dayfile::Record r;
        dayfile::Got got = follower.next(r, batch.empty() ? 200 : 0);
        if (got == dayfile::Got::Record && batch.add(r, follower.position().path)) continue;
        if (got == dayfile::Got::Error) notes.reader_error(follower.position().path, follower.error());
        if (!batch.print()) break;
    }
    return batch.shown;
}

long follow_files(const Settings &s, const std::vector<dayfile::Position> &from, const Style &style, Sink &sink,
                  Notes &notes) {
    stop_on_signals();
    std::vector<dayfile::Reader> readers(from.size());
    for (size_t i = 0; i < from.size(); ++i)
        if (!from[i].path.empty() && from[i].path.ends_with(".log") && !readers[i].open(from[i].path, from[i].offset, true))
            notes.reader_error(from[i].path, readers[i].error());
    Batch batch(s, style, sink);
    while (!stop_requested) {
        bool full = false;
        for (dayfile::Reader &reader : readers) {
            dayfile::Record r;
            while (!full && reader.next(r) == dayfile::Got::Record) full = !batch.add(r, reader.path());
        }
        if (!batch.print()) break;
        if (!full) usleep(200 * 1000);
    }
    return batch.shown;
}

}  // namespace view
