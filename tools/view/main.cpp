// tembra-view: shows the records of the day files in time order, filtered,
// as lines, JSON or bare messages, and follows them as they are written.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "merge.h"
#include "output.h"
#include "settings.h"

namespace {


volatile sig_atomic_t stop_requested = 0;
void on_stop(int) { stop_requested = 1; }

// Newest first without holding everything: the formatted records go to an
// unnamed temporary file, with their starts in a second one, read backwards.
class Spool {
  public:
    Spool() : text_(std::tmpfile()), starts_(std::tmpfile()) {}
    ~Spool() {
        if (text_) std::fclose(text_);
        if (starts_) std::fclose(starts_);
    }
    bool ok() const { return text_ && starts_; }
    void add(const std::string &record) {
        std::fwrite(&size_, sizeof size_, 1, starts_);
        std::fwrite(record.data(), 1, record.size(), text_);
        size_ += record.size();
    }
    bool replay(view::Sink &sink) {
        std::fflush(text_);
        std::fflush(starts_);
        long count = std::ftell(starts_) / (long)sizeof size_;
        uint64_t end = size_;
        std::string record;
        for (long i = count - 1; i >= 0; --i) {
            uint64_t start = 0;
            std::fseek(starts_, i * (long)sizeof start, SEEK_SET);
            if (std::fread(&start, sizeof start, 1, starts_) != 1) return false;
            record.resize(end - start);
            std::fseek(text_, (long)start, SEEK_SET);
            if (std::fread(record.data(), 1, record.size(), text_) != record.size()) return false;
            if (!sink.write(record)) return true;
            end = start;
        }
        return true;
    }

  private:
    std::FILE *text_, *starts_;
    uint64_t size_ = 0;
};

// Prints new records as they are written, each batch in time order, until stopped.
void follow(const view::Settings &s, const std::string &dir, const dayfile::Position &from, bool colour,
            view::Sink &sink, long &shown) {
    struct sigaction stop = {};
    stop.sa_handler = on_stop;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    dayfile::Follower follower(dir);
    follower.start(from.path.empty() ? nullptr : &from);
    struct Item {
        time_t time;
        std::string text;
    };
    std::vector<Item> batch;
    time_t last_time = 0;
    while (!stop_requested) {
        dayfile::Record r;
        dayfile::Got got = follower.next(r, batch.empty() ? 200 : 0);
        if (got == dayfile::Got::Record) {
            if (r.framed) last_time = r.time;
            time_t t = r.framed ? r.time : last_time;
            if (!view::wanted(s, r, t)) continue;
            std::string text;
            view::format(text, s.output, colour, r, t, follower.position().path);
            batch.push_back({t, std::move(text)});
            if (batch.size() < 4096) continue;
        } else if (got == dayfile::Got::Error) {
            std::fprintf(stderr, "tembra-view: %s\n", follower.error().c_str());
        }
        std::stable_sort(batch.begin(), batch.end(), [](const Item &a, const Item &b) { return a.time < b.time; });
        for (const Item &item : batch) sink.write(item.text);
        shown += (long)batch.size();
        batch.clear();
        if (!sink.flush()) return;
    }
}

// Prints what the files hold now: all of it, the last N, or newest first.
void print_history(const view::Settings &s, const std::vector<std::string> &files, bool colour, view::Sink &sink,
                   long &shown, dayfile::Position &end) {
    std::deque<std::string> last;
    std::optional<Spool> spool;
    if (s.reverse && s.lines < 0) spool.emplace();
    if (spool && !spool->ok()) {
        std::fprintf(stderr, "tembra-view: cannot make a temporary file for --reverse\n");
        return;
    }
    view::Merge merge(s, files, s.follow);
    std::string text;
    merge.run([&](const dayfile::Record &r, time_t t, const std::string &file) {
        text.clear();
        view::format(text, s.output, colour, r, t, file);
        ++shown;
        if (s.lines >= 0) {
            last.push_back(text);
            if ((long)last.size() > s.lines) last.pop_front();
            return true;
        }
        if (spool) {
            spool->add(text);
            return true;
        }
        return sink.write(text);
    });
    end = merge.end();
    if (s.lines >= 0) {
        shown = (long)last.size();
        if (s.reverse) std::reverse(last.begin(), last.end());
        for (const std::string &record : last)
            if (!sink.write(record)) break;
    } else if (spool && !spool->replay(sink)) {
        std::fprintf(stderr, "tembra-view: the temporary file for --reverse could not be read back\n");
    }
}

}  // namespace

int main(int argc, char **argv) {
    view::Settings s;
    std::string why = view::parse_settings(argc, argv, s, time(nullptr));
    if (why == "help" || why == "version") {
        std::fputs(why == "help" ? view::kUsage : "tembra-view " TEMBRA_VERSION "\n", stdout);
        return 0;
    }
    if (!why.empty()) {
        std::fprintf(stderr, "tembra-view: %s\n", why.c_str());
        return 2;
    }
    // A path given that cannot be read is a bad argument; a missing log directory is not.
    bool given = !s.paths.empty();
    if (!given) s.paths.push_back(LOG_DIRECTORY);
    std::vector<std::string> files = view::files_of(s.paths, why);
    if (!why.empty()) {
        std::fprintf(stderr, "tembra-view: %s\n", why.c_str());
        return given ? 2 : 1;
    }
    // Following files given by name follows their directory.
    std::string follow_dir = s.paths.back();
    if (s.follow && !files.empty() && files.back() == follow_dir) {
        size_t slash = follow_dir.rfind('/');
        follow_dir = slash == std::string::npos ? "." : follow_dir.substr(0, slash + 1);
    }
    if (s.follow && s.lines < 0) s.lines = 10;

    bool tty = isatty(1);
    const char *no_colour = std::getenv("NO_COLOR");
    bool colour = tty && !(no_colour && *no_colour);
    view::Sink sink(tty && s.pager && !s.follow);
    long shown = 0;
    dayfile::Position end;
    print_history(s, files, colour, sink, shown, end);
    sink.flush();
    if (s.follow) follow(s, follow_dir, end, colour, sink, shown);
    sink.close();
    return shown > 0 ? 0 : 1;
}
