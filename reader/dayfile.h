// Reading the day files: a record's frame, whole records from a file (plain,
// .gz or .zst) with their offsets, the day files of a directory, and following.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "logger/line_format.h"

namespace dayfile {

// A record never exceeds this many bytes, all its rows included.
inline constexpr size_t kMaxRecord = LOG_LINE_SIZE;

// One record, or one line that is not a record, as read from a file. The
// views point into the reader's buffer and stay valid until its next call.
struct Record {
    bool framed = false;       // false: a line that is not a record, kept as it stands
    std::string_view raw;      // every byte of it, rows and final newline included
    std::string_view level;    // "WARN", or the number written for a level outside the table
    int priority = -1;         // queue priority: INFO 0, DEBUG 1, WARN 2, ERROR 3, ALERT 4
    std::string_view stamp;    // "YYYY-MM-DD hh:mm:ss"
    time_t time = -1;          // the stamp read as local time (the first time the clock showed it)
    bool repeated = false;     // the clock showed the stamp twice (summer time ended): see repeated_time()
    std::string_view message;  // between the stamp's blank and " (TYPE) \n"
    std::string_view type;     // "PROGRAM", "SERVER", or a number
    uint64_t offset = 0;       // where it starts in the (decompressed) file
    uint64_t end = 0;          // the offset just after it
};

// The queue priority of a level name (any case) or number 0-4; -1 otherwise.
int priority_of(std::string_view level);
// "INFO" .. "ALERT" for 0-4, "" otherwise.
const char *level_name(int priority);

// Parses bytes holding exactly one record (head row to the row ending in
// " (TYPE) \n"); false when they are not one.
bool parse(std::string_view bytes, Record &record);

// "YYYY-MM-DD hh:mm:ss" as local time; -1 when it is not such a stamp. In
// the hour that repeats when summer time ends, the first time it was shown.
time_t local_time(std::string_view stamp);
// In that repeated hour, the second time the stamp was shown; else -1.
time_t repeated_time(std::string_view stamp);

// Which file: the same identity is the same file, whatever its name now.
struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const FileId &) const = default;
};

enum class Got {
    Record,  // a record (or a line that is not one) was yielded
    Wait,    // nothing complete yet: the rest may still be being written
    End,     // the file is read to its end
    Error,   // reading failed; see error()
};

// Reads one file sequentially, yielding whole records. A growing file's
// incomplete tail is held back (Wait) until it is complete or finish() says
// no more will come; otherwise the end of the file is the end of the data.
class Reader {
  public:
    Reader();
    ~Reader();
    Reader(Reader &&) noexcept;
    Reader &operator=(Reader &&) noexcept;

    // Opens path (.gz and .zst are decompressed) and skips to offset, which
    // should lie after a record. false with error() set when it cannot.
    bool open(const std::string &path, uint64_t offset = 0, bool growing = false);
    // Reads no byte at or past limit (for a snapshot of a growing file).
    void set_limit(uint64_t limit);
    // After open: yields only the records of this level (0-4), skipping every other
    // record and line; cheaper than looking at each of them.
    void only(int priority);
    Got next(Record &record);
    // No more bytes will be appended: the held-back tail is yielded as it stands.
    void finish();

    bool is_open() const;
    uint64_t offset() const;  // just after the last record yielded
    FileId id() const;
    const std::string &path() const;
    const std::string &error() const;

  private:
    struct State;
    std::unique_ptr<State> s_;
};

// In a plain file, the first place at or after offset where a record
// surely starts: just after a row that ends a record. 0 when none is near
// (or the file cannot be read that way): then read from the start.
uint64_t record_start_after(const std::string &path, uint64_t offset);

// Opens path for reading the way every reader of day files must: never
// blocking (a FIFO is refused, not waited on), only a regular file, and never
// through a symbolic link at a day file's name (the drain refuses one there
// too). The descriptor, or -1 with why set.
int open_day_file(const std::string &path, std::string &why);

// A day file of the log directory: tembra-YYYYMMDD.log, maybe compressed.
struct DayFile {
    std::string path;
    int date = 0;  // YYYYMMDD
    bool compressed = false;
};

// The date of a day file's name (any directory), or 0 when it is not one.
int date_of(const std::string &path);
// The day files of dir in date order (a plain file after a compressed one of
// the same date); empty when there are none or dir cannot be read.
std::vector<DayFile> list_day_files(const std::string &dir);

// Why dir cannot be listed ("No such file or directory", ...), or "" when it can.
std::string directory_problem(const std::string &dir);

// Parses one line of any length that is a one-row record (one the reader
// yielded in pieces because it is longer than a record may be); false when it
// is not one.
bool parse_line(std::string_view line, Record &record);

// Where a reader stood: enough to resume after a restart.
struct Position {
    FileId id;
    uint64_t offset = 0;
    std::string path;  // the file's name when the position was taken
};

// Follows the day files of a directory: reads the day's file as the drain
// appends, finishes a file that was removed or replaced and reads its
// successor from the start, and moves on to a later day's file once the
// current one is finished.
class Follower {
  public:
    explicit Follower(std::string dir);
    ~Follower();

    // Resumes at a saved position: the same file when it still exists (or
    // its compressed copy of the same date), else the oldest day file not
    // older than it. Without one, starts at the oldest day file.
    void start(const Position *from = nullptr);
    // Waits up to timeout_ms for the next record; Wait when none came.
    Got next(Record &record, int timeout_ms);
    Position position() const;  // just after the last record yielded
    const std::string &error() const;

    // For a sender that must account for every file (set before start):
    // finishes a file as soon as a later day's exists (once: what is there now
    // is all there is); keeps reading earlier files written within the last
    // day, from these saved positions on and from where it left each one, and
    // retries the files it could not open (each skipped meanwhile).
    void account_for_all(bool once, const std::vector<Position> &earlier);
    // The current file's position, then each earlier file's.
    std::vector<Position> positions() const;
    // Problems found since the last call, each told once: a file or the
    // directory that cannot be read, a saved offset inside a line.
    std::vector<std::string> take_problems();
    // Whether a file or the directory could not be read when last tried.
    bool has_unread() const;

  private:
    bool open_file(const std::string &path, uint64_t offset);
    bool advance();
    bool check_current();
    void wait(int timeout_ms);

    std::string dir_;
    Reader reader_;
    Position pos_;
    int date_ = 0;                // the current file's date, or the first date wanted
    bool reopen_ = false;         // the current file was cut short: read it again from 0
    int64_t later_seen_ms_ = -1;  // when a later day's file was first seen, or -1
    int notify_ = -1;             // inotify on dir, or -1 (then plain polling)
    std::string error_;

    // Following earlier files, and telling problems once (account_for_all).
    void problem(const std::string &path, const std::string &why);
    void realign();
    void finished_current();
    void give_up_current();
    Got next_earlier(Record &record);
    bool earlier_grew(Position &p);
    bool accounting_ = false;
    int64_t grace_ms_ = -1;           // -1: the default grace
    std::vector<Position> earlier_;   // earlier files still followed (id {}: not opened yet)
    std::vector<std::string> skipped_, unread_, told_, fresh_;
    Reader late_;                     // reading earlier_[late_index_], when open
    size_t late_index_ = 0;
    int64_t late_next_ms_ = 0;        // when earlier files are looked at next
};

}  // namespace dayfile
