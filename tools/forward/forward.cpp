// The main loop: batches of records from the day files, each delivered and
// confirmed before the saved position moves past it; fail-over to the next
// collector while one is away, back-off when all are, one report when a
// collector goes and one when it is back; every unreadable file told once.
#include "forward.h"

#include "common/clock.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "message.h"
#include "position.h"
#include "reader/dayfile.h"
#include "transport.h"

namespace forward {

namespace {

constexpr int kIdleWaitMs = 1000;
constexpr int kMaxBackoffMs = 5000;
// How often a preferred collector is tried again while a later one takes the records.
constexpr int64_t kPreferredRetryMs = 2000;
// The reader yields a line longer than its buffer in pieces of this size;
// pieces are joined up to kLongLine bytes, beyond which they go out as they come.
constexpr size_t kPiece = 64 * 1024;
constexpr size_t kLongLine = 16 << 20;

void report(const std::string &text) { std::fprintf(stderr, "tembra-forward: %s\n", text.c_str()); }

struct Batch {
    std::vector<std::string> messages;
    std::vector<dayfile::Position> end;  // the positions just after its last record
};

class Loop {
  public:
    Loop(const Settings &s, volatile sig_atomic_t &stop) : s_(s), stop_(stop), follower_(s.directory) {
        for (const Collector &c : s.collectors) transports_.push_back(make_transport(s, c));
    }

    int run() {
        std::vector<dayfile::Position> saved;
        std::string why;
        if (!load_positions(s_.state, saved, why)) {
            report(why);
            return 1;
        }
        std::vector<dayfile::Position> earlier;
        if (saved.size() > 1) earlier.assign(saved.begin() + 1, saved.end());
        follower_.account_for_all(s_.once, earlier);
        follower_.start(saved.empty() ? nullptr : &saved[0]);
        while (!stop_) {
            Batch batch;
            dayfile::Got got = fill(batch);
            tell_problems();
            if (got == dayfile::Got::Error && batch.messages.empty()) {
                if (!reader_failed()) return 1;
                continue;
            }
            reader_error_reported_ = false;
            if (batch.messages.empty()) {
                if (s_.once) break;
                continue;
            }
            if (!deliver(batch)) return stop_ && !s_.once ? 0 : 1;
            if (!batch.end.empty() && !save_positions(s_.state, batch.end, why)) {
                report("cannot save the position: " + why);
                return 1;
            }
        }
        for (auto &t : transports_) t->close();
        return s_.once && follower_.has_unread() ? 1 : 0;
    }

  private:
    // Reads up to a batch of records: what is there now, or, when nothing is,
    // whatever comes within the idle wait (none with --once). A long line's
    // pieces are joined before it counts, and a batch never ends inside one.
    dayfile::Got fill(Batch &batch) {
        dayfile::Record record;
        dayfile::Got got = dayfile::Got::Record;
        size_t records = 0;
        while ((records < s_.batch || !long_.empty()) && !stop_) {
            bool first = batch.messages.empty() && long_.empty();
            got = follower_.next(record, first && !s_.once ? kIdleWaitMs : 0);
            if (got != dayfile::Got::Record) break;
            ++records;
            if (!join(record)) continue;
            add_messages(s_, record, batch.messages);
            long_.clear();
        }
        if (!batch.messages.empty()) batch.end = long_.empty() ? follower_.positions() : long_positions_;
        return batch.messages.empty() ? got : dayfile::Got::Record;
    }

    // Joins the pieces of a line longer than the reader's buffer: false while
    // more are to come; true with record the whole line (a record when it is one).
    bool join(dayfile::Record &record) {
        bool piece = !record.framed && record.raw.size() >= kPiece && !record.raw.ends_with('\n');
        if (long_.empty() && !piece) return true;
        if (long_.empty()) {
            long_positions_ = follower_.positions();
            long_offset_ = record.offset;
        }
        long_.append(record.raw);
        if (piece && long_.size() < kLongLine) return false;
        dayfile::Record whole;
        if (!dayfile::parse_line(long_, whole)) whole.raw = long_;
        whole.offset = long_offset_;
        record = whole;
        return true;
    }

    void tell_problems() {
        for (const std::string &p : follower_.take_problems()) report(p);
    }

    // Delivers the batch to the first collector that takes it, preferring the
    // earlier ones; retries with back-off while none does. False when stopped
    // first or, with --once, when none took it.
    bool deliver(const Batch &batch) {
        if (current_ > 0 && tools::monotonic_ms() >= preferred_retry_ms_) try_preferred();
        int backoff_ms = 100;
        for (;;) {
            for (size_t tried = 0; tried < transports_.size() && !stop_; ++tried) {
                Transport &t = *transports_[current_];
                if (t.deliver(batch.messages)) {
                    back_from_outage();
                    return true;
                }
                went_away(current_);
                current_ = (current_ + 1) % transports_.size();
                preferred_retry_ms_ = tools::monotonic_ms() + kPreferredRetryMs;
            }
            if (s_.once || stop_) return false;
            for (int slept = 0; slept < backoff_ms && !stop_; slept += 50) usleep(50000);
            if (stop_) return false;
            backoff_ms = std::min(backoff_ms * 2, kMaxBackoffMs);
        }
    }

    // Moves back to the first collector that accepts a connection before the current one.
    void try_preferred() {
        preferred_retry_ms_ = tools::monotonic_ms() + kPreferredRetryMs;
        for (size_t i = 0; i < current_; ++i)
            if (reachable(s_.collectors[i].host, s_.collectors[i].port) && transports_[i]->open()) {
                report("back to " + s_.collectors[i].url + " from " + s_.collectors[current_].url);
                transports_[current_]->close();
                away_[i] = false;
                current_ = i;
                return;
            }
    }

    void went_away(size_t i) {
        if (away_.empty()) away_.assign(transports_.size(), false);
        if (!away_[i]) {
            std::string next = transports_.size() > 1 ? "; trying " + s_.collectors[(i + 1) % transports_.size()].url
                               : s_.once ? "" : "; retrying";
            report("cannot deliver to " + s_.collectors[i].url + ": " + transports_[i]->error() + next);
        }
        away_[i] = true;
    }

    void back_from_outage() {
        if (away_.empty() || !away_[current_]) return;
        report("delivering to " + s_.collectors[current_].url + " again");
        away_[current_] = false;
    }

    // Reports a reading failure once and waits before the next try; false with --once.
    bool reader_failed() {
        if (!reader_error_reported_) report("reading " + s_.directory + ": " + follower_.error());
        reader_error_reported_ = true;
        if (s_.once) return false;
        for (int slept = 0; slept < kIdleWaitMs && !stop_; slept += 50) usleep(50000);
        return true;
    }

    const Settings &s_;
    volatile sig_atomic_t &stop_;
    dayfile::Follower follower_;
    std::vector<std::unique_ptr<Transport>> transports_;
    size_t current_ = 0;              // the collector in use
    std::vector<bool> away_;          // each collector's outage was reported
    int64_t preferred_retry_ms_ = 0;  // when earlier collectors are tried again
    bool reader_error_reported_ = false;
    std::string long_;                // the pieces of a long line so far
    uint64_t long_offset_ = 0;        // where it starts
    std::vector<dayfile::Position> long_positions_;  // the positions before it
};

}  // namespace

int run(const Settings &settings, volatile sig_atomic_t &stop) {
    size_t slash = settings.state.rfind('/');
    std::string dir = slash == std::string::npos ? "" : settings.state.substr(0, slash);
    if (!dir.empty() && mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        report("cannot create " + dir + ": " + strerror(errno));
        return 1;
    }
    return Loop(settings, stop).run();
}

}  // namespace forward
