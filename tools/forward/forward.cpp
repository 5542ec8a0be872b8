// The main loop: batches of records from the day files, each delivered and
// confirmed before the saved position moves past it; back-off while the
// collector is away, one report when it goes and one when it is back.
#include "forward.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "reader/dayfile.h"
#include "message.h"
#include "state.h"
#include "transport.h"

namespace forward {

namespace {

// With --once, how long the reader may wait before the files count as sent: a
// day's file is finished only once its successor has been there for a while.
constexpr int kOnceSettleMs = 2500;
constexpr int kIdleWaitMs = 1000;
constexpr int kMaxBackoffMs = 5000;

void report(const std::string &text) { std::fprintf(stderr, "tembra-forward: %s\n", text.c_str()); }

std::string message_of(const Settings &s, const dayfile::Record &r) {
    if (!r.framed) {
        std::string_view line = r.raw;
        if (line.ends_with('\n')) line.remove_suffix(1);
        return foreign_message(s, line);
    }
    return record_message(s, r.priority, r.time, r.message, r.type);
}

struct Batch {
    std::vector<std::string> messages;
    dayfile::Position end;  // the position just after its last record
};

class Loop {
  public:
    Loop(const Settings &s, volatile sig_atomic_t &stop)
        : s_(s), stop_(stop), follower_(s.directory), transport_(make_transport(s)) {}

    int run() {
        dayfile::Position saved;
        bool have_saved = false;
        std::string why;
        if (!load_position(s_.state, saved, have_saved, why)) {
            report(why);
            return 1;
        }
        follower_.start(have_saved ? &saved : nullptr);
        while (!stop_) {
            Batch batch;
            dayfile::Got got = fill(batch);
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
            if (!save_position(s_.state, batch.end, why)) {
                report("cannot save the position: " + why);
                return 1;
            }
        }
        transport_->close();
        return 0;
    }

  private:
    // Reads up to a batch of records: what is there now, or, when nothing is,
    // whatever comes within the idle wait. With --once there is no idle wait,
    // except for the follower to finish a day's file when a later one exists.
    dayfile::Got fill(Batch &batch) {
        dayfile::Record record;
        while (batch.messages.size() < s_.batch && !stop_) {
            bool first = batch.messages.empty();
            dayfile::Got got = follower_.next(record, first && !s_.once ? kIdleWaitMs : 0);
            if (got == dayfile::Got::Wait && first && s_.once && later_day_exists())
                got = follower_.next(record, kOnceSettleMs);
            if (got != dayfile::Got::Record) return got;
            batch.messages.push_back(message_of(s_, record));
            batch.end = follower_.position();
        }
        return dayfile::Got::Record;
    }

    bool later_day_exists() const {
        std::vector<dayfile::DayFile> files = dayfile::list_day_files(s_.directory);
        return !files.empty() && files.back().date > dayfile::date_of(follower_.position().path);
    }

    // Delivers the batch, retrying with back-off until it is taken; false when
    // stopped first or, with --once, at the first failure.
    bool deliver(const Batch &batch) {
        int backoff_ms = 100;
        while (!transport_->deliver(batch.messages)) {
            if (!outage_) report("cannot deliver to " + s_.collector + ": " + transport_->error() +
                                 (s_.once ? "" : "; retrying"));
            outage_ = true;
            if (s_.once) return false;
            for (int slept = 0; slept < backoff_ms && !stop_; slept += 50) usleep(50000);
            if (stop_) return false;
            backoff_ms = std::min(backoff_ms * 2, kMaxBackoffMs);
        }
        if (outage_) report("delivering to " + s_.collector + " again");
        outage_ = false;
        return true;
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
    std::unique_ptr<Transport> transport_;
    bool outage_ = false;
    bool reader_error_reported_ = false;
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
