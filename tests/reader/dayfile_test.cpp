// The day-file reader: a record's frame, whole records from plain and
// compressed files, the directory's day files, and following them.
#include <unistd.h>
#include <zlib.h>
#ifdef TEMBRA_ZSTD
#include <zstd.h>
#endif

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "reader/dayfile.h"
#include "shared_data.h"
#include "testbed.h"

namespace {

using dayfile::Got;
using dayfile::Record;

const std::string kDay1 = bed::kDir + "tembra-20261207.log";
const std::string kDay2 = bed::kDir + "tembra-20261208.log";

// Every record of a file, as "R:" or "-:" followed by its raw bytes.
std::vector<std::string> read_all(const std::string &path, uint64_t offset = 0) {
    dayfile::Reader reader;
    EXPECT_TRUE(reader.open(path, offset)) << reader.error();
    std::vector<std::string> seen;
    Record r;
    uint64_t at = offset;
    while (reader.next(r) == Got::Record) {
        EXPECT_EQ(r.offset, at);
        at = r.end;
        seen.push_back((r.framed ? "R:" : "-:") + std::string(r.raw));
    }
    EXPECT_EQ(reader.next(r), Got::End);
    // Asked for one level, a reader yields exactly that level's records.
    for (int p = 0; p < 5; ++p) {
        dayfile::Reader one;
        EXPECT_TRUE(one.open(path, offset));
        one.only(p);
        std::vector<std::string> want, got;
        for (const std::string &s : seen)
            if (s.starts_with(std::string("R:[") + dayfile::level_name(p) + "]")) want.push_back(s);
        while (one.next(r) == Got::Record) got.push_back("R:" + std::string(r.raw));
        EXPECT_EQ(got, want) << dayfile::level_name(p);
    }
    return seen;
}

// "n7" for 7 (built in steps: GCC 12 warns falsely on numbered(n)).
std::string numbered(int n) {
    std::string text = "n";
    text += std::to_string(n);
    return text;
}

class DayFile : public bed::Test {};

TEST(Frame, ParsesTheFieldsOfOneRecord) {
    const struct {
        std::string bytes;
        bool ok;
        const char *level;
        int priority;
        const char *message, *type;
    } rows[] = {
        {bed::record("DEBUG", "2026-12-08 10:11:12", "yes i succeed!", "SERVER"), true, "DEBUG", 1, "yes i succeed!", "SERVER"},
        {bed::record("INFO", "2026-12-08 10:11:12", ""), true, "INFO", 0, "", "PROGRAM"},
        {bed::record("ALERT", "2026-12-08 10:11:12", "a (b) c (PROGRAM)", "SERVER"), true, "ALERT", 4, "a (b) c (PROGRAM)", "SERVER"},
        {bed::record("7", "2026-12-08 10:11:12", "odd", "9"), true, "7", 7, "odd", "9"},
        {bed::record("WARN", "2026-12-08 10:11:12", "two\nrows\n"), true, "WARN", 2, "two\nrows\n", "PROGRAM"},
        {bed::record("ERROR", "2026-12-08 10:11:12", "x\n[ALERT] 2026-12-08 10:11:12 forged"), true, "ERROR", 3,
         "x\n[ALERT] 2026-12-08 10:11:12 forged", "PROGRAM"},
        {"[INFO] 2026-12-08 10:11:12 (PROGRAM) \n", false, "", -1, "", ""},
        {"[INFO] 2026-12-08 10:11:12 no ending\n", false, "", -1, "", ""},
        {"[info] 2026-12-08 10:11:12 m (PROGRAM) \n", false, "", -1, "", ""},
        {"[INFO] 2026-12-08 10:1:12 m (PROGRAM) \n", false, "", -1, "", ""},
        {"[INFO] 2026-12-08 10:11:12 m (CLIENT) \n", false, "", -1, "", ""},
        {"[INFO] 2026-12-08 10:11:12 m (PROGRAM)\n", false, "", -1, "", ""},
        {bed::record("INFO", "2026-12-08 10:11:12", "a (PROGRAM) \nb"), false, "", -1, "", ""},
        {std::string("[INFO] 2026-12-08 10:11:12 ") + std::string(8200, 'x') + " (PROGRAM) \n", false, "", -1, "", ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.bytes.substr(0, 80));
        Record r;
        ASSERT_EQ(dayfile::parse(row.bytes, r), row.ok);
        if (!row.ok) continue;
        EXPECT_EQ(r.level, row.level);
        EXPECT_EQ(r.priority, row.priority);
        EXPECT_EQ(r.stamp, "2026-12-08 10:11:12");
        EXPECT_EQ(r.message, row.message);
        EXPECT_EQ(r.type, row.type);
        EXPECT_EQ(r.raw, row.bytes);
    }
}

TEST(Frame, LevelNamesAndLocalTime) {
    const struct {
        const char *name;
        int priority;
    } levels[] = {{"info", 0}, {"Debug", 1}, {"WARN", 2}, {"error", 3}, {"ALERT", 4}, {"3", 3}, {"5", -1}, {"warning", -1}, {"", -1}};
    for (const auto &l : levels) EXPECT_EQ(dayfile::priority_of(l.name), l.priority) << l.name;

    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    const struct {
        const char *stamp;
        time_t want;
        time_t repeated = -1;  // the second time the clock showed it
    } stamps[] = {
        {"2026-12-08 10:11:12", 1796721072},  // +01:00
        {"2026-12-08 10:12:00", 1796721120},
        {"2026-07-01 00:00:00", 1782856800},  // +02:00
        {"2026-03-29 01:59:59", 1774745999},  // the last second before summer time
        {"2026-10-25 02:30:00", 1792888200, 1792888200 + 3600},  // the hour that repeats
        {"2026-10-25 03:00:00", 1792888200 + 5400},
        {"2026-12-08 10:11", -1},
        {"2026-12-08T10:11:12", -1},
    };
    for (const auto &s : stamps) {
        EXPECT_EQ(dayfile::local_time(s.stamp), s.want) << s.stamp;
        EXPECT_EQ(dayfile::repeated_time(s.stamp), s.repeated) << s.stamp;
    }
    unsetenv("TZ");
    tzset();
}

TEST_F(DayFile, SplitsRecordsContinuationRowsAndForeignLines) {
    const std::string a = bed::record("ALERT", "2026-12-08 10:00:02", "first");
    const std::string multi = bed::record("INFO", "2026-12-08 10:00:01", "one\n[WARN] 2026-12-08 10:00:01 looks like a head\n");
    const std::string foreign = "foreign bytes\n";
    const std::string unclosed = "[WARN] 2026-12-08 10:00:03 never closed\n";
    const std::string filler = std::string(8200, 'y') + "\n";
    const std::string b = bed::record("DEBUG", "2026-12-08 10:00:04", "after");
    const std::string w = bed::record("WARN", "2026-12-08 10:00:05", "warned");
    const struct {
        std::string contents;
        std::vector<std::string> want;
    } rows[] = {
        {a + multi + foreign + b, {"R:" + a, "R:" + multi, "-:" + foreign, "R:" + b}},
        {foreign + w + multi + w, {"-:" + foreign, "R:" + w, "R:" + multi, "R:" + w}},
        {a + unclosed + filler + b, {"R:" + a, "-:" + unclosed, "-:" + filler, "R:" + b}},
        {a + unclosed, {"R:" + a, "-:" + unclosed}},
        {a + "no newline at the end", {"R:" + a, "-:no newline at the end"}},
        {"", {}},
    };
    for (const auto &row : rows) {
        bed::write_bytes(kDay1, row.contents);
        EXPECT_EQ(read_all(kDay1), row.want);
        bed::write_gz(kDay1 + ".gz", row.contents);
        EXPECT_EQ(read_all(kDay1 + ".gz"), row.want);
#ifdef TEMBRA_ZSTD
        std::string packed(ZSTD_compressBound(row.contents.size()), '\0');
        packed.resize(ZSTD_compress(packed.data(), packed.size(), row.contents.data(), row.contents.size(), 3));
        bed::write_bytes(kDay1 + ".zst", packed);
        EXPECT_EQ(read_all(kDay1 + ".zst"), row.want);
#endif
    }
    // Resuming at a record's end offset gives the records after it, compressed or not.
    bed::write_bytes(kDay1, a + multi + b);
    bed::write_gz(kDay1 + ".gz", a + multi + b);
    for (const std::string &path : {kDay1, kDay1 + ".gz"})
        EXPECT_EQ(read_all(path, a.size() + multi.size()), std::vector<std::string>{"R:" + b}) << path;
}

// Damaged or cut-off compressed data: the records before the damage, then
// one error that says what was wrong, then the end.
TEST_F(DayFile, DamagedCompressedFilesYieldWhatCanBeRead) {
    std::string records;
    for (int i = 0; i < 4000; ++i) records += bed::record("INFO", "2026-12-08 10:00:00", numbered(i) + std::string(i % 40, 'x'));
    bed::write_gz(kDay1 + ".gz", records);
    const std::string gz = bed::read_file(kDay1 + ".gz");
    std::string flipped = gz;
    flipped[gz.size() / 2] ^= 0x55;
    const struct {
        const char *what, *name;
        std::string bytes;
        const char *error;  // "" for none
    } rows[] = {
        {"whole", ".gz", gz, ""},
        {"two members", ".gz", gz + gz, ""},
        {"cut off", ".gz", gz.substr(0, gz.size() / 2), "damaged: the compressed data stops short"},
        {"cut in its trailer", ".gz", gz.substr(0, gz.size() - 4), "damaged: the compressed data stops short"},
        {"damaged inside", ".gz", flipped, "damaged: "},
        {"not compressed at all", ".gz", records.substr(0, 5000), "damaged: "},
#ifdef TEMBRA_ZSTD
        {"zstd cut off", ".zst", "", "damaged: the compressed data stops short"},
#endif
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        std::string bytes = row.bytes;
#ifdef TEMBRA_ZSTD
        if (bytes.empty()) {
            bytes.resize(ZSTD_compressBound(records.size()));
            bytes.resize(ZSTD_compress(bytes.data(), bytes.size(), records.data(), records.size(), 3));
            bytes.resize(bytes.size() - 100);  // in the last block: zstd yields whole blocks
        }
#endif
        bed::write_bytes(kDay1 + row.name, bytes);
        dayfile::Reader reader;
        ASSERT_TRUE(reader.open(kDay1 + row.name));
        Record r;
        std::string seen;
        Got g;
        while ((g = reader.next(r)) == Got::Record) seen += r.raw;
        EXPECT_EQ(g, *row.error ? Got::Error : Got::End);
        EXPECT_NE(reader.error().find(row.error), std::string::npos) << reader.error();
        EXPECT_EQ(reader.next(r), Got::End);
        // What is yielded starts as the original does (damage inside deflate data
        // may yield wrong bytes before it is found); all of it when whole.
        EXPECT_EQ(seen.substr(0, 4096), (records + records).substr(0, std::min<size_t>(seen.size(), 4096)));
        EXPECT_TRUE(!std::string(row.what).starts_with("cut") || records.starts_with(seen));
        EXPECT_TRUE(*row.error || seen == records || seen == records + records);
        EXPECT_TRUE(std::string(row.what).find("cut") == std::string::npos || !seen.empty());
        unlink((kDay1 + row.name).c_str());
    }
}

// Reading from a file's end: the first place after an offset where a record surely starts.
TEST_F(DayFile, FindsWhereARecordStartsAfterAnOffset) {
    const std::string a = bed::record("INFO", "2026-12-08 10:00:00", "a");
    const std::string multi = bed::record("WARN", "2026-12-08 10:00:01", "one\ntwo (PROGRAM)\nthree");
    const std::string b = bed::record("INFO", "2026-12-08 10:00:02", "b");
    bed::write_bytes(kDay1, a + multi + b);
    const struct {
        uint64_t offset, want;
    } rows[] = {
        // The row holding the offset may be any part of a record: the start
        // is after the next whole row that ends one.
        {0, a.size() + multi.size()},
        {a.size() - 1, a.size() + multi.size()},
        {a.size() + 3, a.size() + multi.size()},
        {a.size() + multi.size() - 5, a.size() + multi.size() + b.size()},
        {a.size() + multi.size() + 3, 0},  // no whole row after it
    };
    for (const auto &row : rows) EXPECT_EQ(dayfile::record_start_after(kDay1, row.offset), row.want) << row.offset;
    EXPECT_EQ(dayfile::record_start_after(kDay1 + ".gz", 10), 0u);
}

TEST_F(DayFile, GrowingFileHoldsBackItsIncompleteTail) {
    const std::string head = "[WARN] 2026-12-08 10:00:00 part one\n";
    const std::string rest = "part two (SERVER) \n";
    const struct {
        std::vector<std::string> appends;  // each followed by a read of what is complete
        std::vector<std::string> yielded;  // the records each read gave, joined
        std::string at_finish;
    } rows[] = {
        {{"[INFO] 2026-12-08 10:00:00 x (PROG", "RAM) \n"}, {"", "R"}, ""},
        {{head, rest}, {"", "R"}, ""},
        {{head}, {""}, "-"},
        {{"plain line without end"}, {""}, "-"},
    };
    for (const auto &row : rows) {
        bed::write_bytes(kDay1, "");
        dayfile::Reader reader;
        ASSERT_TRUE(reader.open(kDay1, 0, true));
        Record r;
        for (size_t i = 0; i < row.appends.size(); ++i) {
            bed::write_bytes(kDay1, row.appends[i], true);
            std::string got;
            Got g;
            while ((g = reader.next(r)) == Got::Record) got += r.framed ? "R" : "-";
            EXPECT_EQ(g, Got::Wait);
            EXPECT_EQ(got, row.yielded[i]) << row.appends[i];
        }
        reader.finish();
        std::string got;
        while (reader.next(r) == Got::Record) got += r.framed ? "R" : "-";
        EXPECT_EQ(got, row.at_finish);
        EXPECT_EQ(reader.next(r), Got::End);
    }
}

TEST_F(DayFile, ListsDayFilesInDateOrder) {
    for (const char *name : {"tembra-20261208.log", "tembra-20261201.log.gz", "tembra-20261130.log.zst",
                             "tembra-20261201.log", "other.log", "tembra-2026120.log", "tembra-20261202.log.1"})
        bed::write_bytes(bed::kDir + name, "");
    std::vector<std::string> names;
    for (const auto &f : dayfile::list_day_files(bed::kDir)) names.push_back(f.path.substr(bed::kDir.size()));
    EXPECT_EQ(names, (std::vector<std::string>{"tembra-20261130.log.zst", "tembra-20261201.log.gz",
                                               "tembra-20261201.log", "tembra-20261208.log"}));
    EXPECT_TRUE(dayfile::list_day_files("/nonexistent").empty());
}

// Follows while steps change the directory; each step's records must arrive in order.
TEST_F(DayFile, FollowsThroughReplacementRemovalAndTheNextDay) {
    const std::string kDay1 = bed::day_path(-1), kDay2 = bed::day_path(0), later = bed::day_path(2);
    auto rec = [](int n) { return bed::record("INFO", "2026-12-07 23:59:59", numbered(n)); };
    const struct {
        const char *what;
        std::function<void()> step;
        std::vector<int> expect;
    } steps[] = {
        {"append", [&] { bed::write_bytes(kDay1, rec(1) + rec(2), true); }, {1, 2}},
        {"partial then whole",
         [&] {
             std::string r3 = rec(3);
             bed::write_bytes(kDay1, r3.substr(0, 20), true);
             usleep(50000);
             bed::write_bytes(kDay1, r3.substr(20), true);
         },
         {3}},
        {"cut short and written again",
         [&] {
             truncate(kDay1.c_str(), 0);
             bed::write_bytes(kDay1, rec(31), true);
         },
         {31}},
        {"replaced by rename",
         [&] {
             bed::write_bytes(kDay1 + ".new", rec(4));
             bed::write_bytes(kDay1, rec(99).substr(0, 10), true);  // a torn tail left in the old file
             rename((kDay1 + ".new").c_str(), kDay1.c_str());
         },
         {4}},
        {"removed and recreated",
         [&] {
             unlink(kDay1.c_str());
             usleep(300000);
             bed::write_bytes(kDay1, rec(5));
         },
         {5}},
        {"a file dated after today", [&] { bed::write_bytes(later, rec(98)); }, {}},
        {"next day", [&] { bed::write_bytes(kDay2, rec(6)); }, {6}},
        {"the next day grows", [&] { bed::write_bytes(kDay2, rec(7), true); }, {7}},
    };
    bed::write_bytes(kDay1, rec(0));
    dayfile::Follower follow(bed::kDir);
    follow.start();
    Record r;
    ASSERT_EQ(follow.next(r, 1000), Got::Record);
    EXPECT_EQ(r.message, "n0");
    for (const auto &s : steps) {
        SCOPED_TRACE(s.what);
        s.step();
        for (int want : s.expect) {
            Got g;
            while ((g = follow.next(r, 5000)) == Got::Record && !r.framed) {
            }
            ASSERT_EQ(g, Got::Record);
            EXPECT_EQ(r.message, numbered(want));
        }
        EXPECT_EQ(follow.next(r, 100), Got::Wait);
    }
    EXPECT_EQ(follow.position().path, kDay2);
}

TEST_F(DayFile, ResumesFromASavedPosition) {
    const std::string kDay1 = bed::day_path(-1), kDay2 = bed::day_path(0);
    const std::string r1 = bed::record("INFO", "2026-12-07 10:00:00", "one"), r2 = bed::record("INFO", "2026-12-07 10:00:01", "two");
    const std::string r3 = bed::record("INFO", "2026-12-08 10:00:00", "three");
    bed::write_bytes(kDay1, r1 + r2);
    bed::write_bytes(kDay2, r3);
    dayfile::Position saved;
    {
        dayfile::Follower follow(bed::kDir);
        follow.start();
        Record r;
        ASSERT_EQ(follow.next(r, 1000), Got::Record);
        saved = follow.position();
    }
    EXPECT_EQ(saved.offset, r1.size());
    auto first_after = [&](const dayfile::Position &from) {
        dayfile::Follower follow(bed::kDir);
        follow.start(&from);
        Record r;
        return follow.next(r, 1000) == Got::Record ? std::string(r.message) : "(none)";
    };
    const struct {
        const char *what;
        std::function<void()> change;
        std::string want;
    } rows[] = {
        {"same file", [] {}, "two"},
        {"compressed by retention", [&] { bed::write_gz(kDay1 + ".gz", r1 + r2), unlink(kDay1.c_str()); }, "two"},
        {"gone: the oldest day not older", [&] { unlink((kDay1 + ".gz").c_str()); }, "three"},
    };
    for (const auto &row : rows) {
        row.change();
        EXPECT_EQ(first_after(saved), row.want) << row.what;
    }
}

}  // namespace
