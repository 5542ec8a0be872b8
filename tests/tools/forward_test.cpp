// tembra-forward against a real rsyslogd on 127.0.0.1 in the test's own network
// namespace: every field of every record, and nothing lost when either side dies.
#include <signal.h>
#include <string.h>
#include <time.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <functional>
#include <string>
#include <vector>

#include "collector.h"
#include "testbed.h"

namespace {

const std::string kState = "/var/log/forward.state";
const char *const kLevels[] = {"INFO", "DEBUG", "WARN", "ERROR", "ALERT"};
const int kSeverity[] = {6, 7, 4, 3, 1};
const char *const kTypes[] = {"PROGRAM", "SERVER"};
const int kLocal0 = 16;

std::string line(int level, int type, const std::string &stamp, const std::string &message) {
    std::string text = "[";
    return text.append(kLevels[level]).append("] ").append(stamp).append(" ").append(message).append(" (")
        .append(kTypes[type]).append(") \n");
}

void append(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary | std::ios::app) << text;
}


// One message as the collector wrote it (RSYSLOG_SyslogProtocol23Format).
struct Received {
    int pri = -1;
    std::string time, host, app, procid, msgid, sd, msg;
};

// Splits "<PRI>1 TIME HOST APP PROCID MSGID SD MSG"; false when it is not that.
bool parse(const std::string &text, Received &r) {
    if (!text.starts_with("<")) return false;
    size_t close = text.find(">1 ");
    if (close == std::string::npos) return false;
    r.pri = std::atoi(text.c_str() + 1);
    std::string *fields[] = {&r.time, &r.host, &r.app, &r.procid, &r.msgid, &r.sd};
    size_t at = close + 3;
    for (std::string *field : fields) {
        // Structured data may hold blanks inside its brackets.
        size_t blank = field == &r.sd && text[at] == '[' ? text.find("] ", at) + 1 : text.find(' ', at);
        if (blank == std::string::npos || blank == 0 || blank == at) return false;
        *field = text.substr(at, blank - at);
        at = blank + 1;
    }
    r.msg = text.substr(at);
    return true;
}

// The part marker of a long record's piece: [part@32473 n="N" of="M" at="OFFSET"].
struct Part {
    int n = 0, of = 0;
    unsigned long long at = 0;
};
bool part_of(const std::string &sd, Part &p) {
    return std::sscanf(sd.c_str(), "[part@32473 n=\"%d\" of=\"%d\" at=\"%llu\"]", &p.n, &p.of, &p.at) == 3;
}

// The messages from host. Strict: every line must parse; else lines cut short
// by a process killed mid-write (a TCP frame, a line of the file) are left out.
std::vector<Received> received_from(const collector::Collector &c, const std::string &host,
                                    bool strict = true) {
    std::vector<Received> found;
    for (const std::string &text : c.received()) {
        Received r;
        if (!parse(text, r)) {
            if (strict) ADD_FAILURE() << "not RFC 5424: " << text;
            continue;
        }
        if (r.host == host) found.push_back(r);
    }
    return found;
}

// How often each whole "record N ok" arrived from host.
std::map<int, int> arrivals(const collector::Collector &c, const std::string &host) {
    std::map<int, int> count;
    for (const Received &r : received_from(c, host, false))
        if (r.msg.starts_with("record ") && r.msg.ends_with(" ok")) ++count[std::atoi(r.msg.c_str() + 7)];
    return count;
}

// Checks ready() every 50 ms for up to seconds.
bool within(double seconds, const std::function<bool()> &ready) {
    timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (ready()) return true;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec + (now.tv_nsec - start.tv_nsec) / 1e9 > seconds) return false;
        usleep(50000);
    }
}

struct Tally {
    int missing = 0, duplicates = 0;
};
Tally tally(const std::map<int, int> &count, int total) {
    Tally t;
    for (int n = 0; n < total; ++n) {
        auto it = count.find(n);
        if (it == count.end()) ++t.missing;
        else t.duplicates += it->second - 1;
    }
    return t;
}

class Forward : public bed::Test {
  protected:
    void SetUp() override {
        bed::Test::SetUp();
        unlink(kState.c_str());
        if (!bed::can_make_network_namespace()) GTEST_SKIP() << bed::kNoNetworkNamespace;
        ASSERT_TRUE(collector::enter_network()) << strerror(errno);
        collector_ = std::make_unique<collector::Collector>("/var/log/collector");
        ASSERT_TRUE(collector_->start()) << collector_->diagnostics();
    }
    void TearDown() override {
        collector_.reset();
        bed::Test::TearDown();
    }

    std::vector<std::string> forwarder(const std::vector<std::string> &to, const std::string &host,
                                       const std::vector<std::string> &extra = {}) {
        std::vector<std::string> argv = {"tembra-forward", "--state", kState, "--hostname", host};
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.insert(argv.end(), to.begin(), to.end());
        return argv;
    }
    std::vector<std::string> relp() const {
        return {"relp://127.0.0.1:" + std::to_string(collector_->ports().relp)};
    }
    std::vector<std::string> tcp() const {
        return {"tcp://127.0.0.1:" + std::to_string(collector_->ports().tcp)};
    }
    std::vector<std::string> tls(int port = 0) const {
        if (port == 0) port = collector_->ports().tls;
        return {"tls://127.0.0.1:" + std::to_string(port), "--ca", collector_->ca()};
    }

    // Waits until every one of total records from host arrived.
    bool all_arrive(const std::string &host, int total, double seconds) {
        return within(seconds, [&] { return tally(arrivals(*collector_, host), total).missing == 0; });
    }

    std::unique_ptr<collector::Collector> collector_;
};

const std::vector<std::string> kBerlin = {"TZ=Europe/Berlin"};

TEST_F(Forward, EveryRecordOfTwoDaysArrivesWithItsFields) {
    // Summer and winter days, so the offset changes with the date: +02:00, then +01:00.
    const struct {
        const char *date, *file, *offset;
    } days[] = {{"2026-07-05", "tembra-20260705.log", "+02:00"},
                {"2026-12-07", "tembra-20261207.log", "+01:00"}};
    const int per_day = 10;
    for (int d = 0; d < 2; ++d) {
        std::string text;
        for (int i = 0; i < per_day; ++i) {
            int n = d * per_day + i;
            std::string message = "record " + std::to_string(n) + (n == 7 ? " first\nsecond" : "");
            text += line(n % 5, n % 2, std::string(days[d].date) + " 10:00:0" + std::to_string(i), message);
        }
        if (d == 0) text += "bytes from elsewhere\n";
        append(bed::kDir + days[d].file, text);
    }
    struct Row {
        const char *host;
        std::vector<std::string> to, extra;
    };
    const std::string dir = "/var/log/collector/";
    const Row rows[] = {
        {"via-tcp", tcp(), {}},
        {"via-tls", tls(), {}},
        {"via-tls-cert", tls(collector_->ports().tls_client), {"--cert", dir + "client.pem", "--key", dir + "client.key"}},
        {"via-relp", relp(), {}},
        // Options as --opt=value, in small batches, the directory given.
        {"via-relp-eq", relp(), {"--state=" + kState, "--directory=" + bed::kDir, "--batch=3"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.host);
        unlink(kState.c_str());
        std::vector<std::string> once = row.extra;
        once.push_back("--once");
        bed::Output out = bed::run(forwarder(row.to, row.host, once), kBerlin);
        ASSERT_EQ(out.status, 0) << out.err;
        // Over tcp:// and tls:// taken means acknowledged by the collector's
        // system: it may still be writing them.
        std::vector<Received> got;
        within(10, [&] { return (got = received_from(*collector_, row.host)).size() >= 2u * per_day + 1; });
        ASSERT_EQ(got.size(), 2u * per_day + 1) << collector_->diagnostics();
        int numbered = 0;
        for (const Received &r : got) {
            EXPECT_EQ(r.app, "tembra");
            EXPECT_EQ(r.procid, "-");
            EXPECT_EQ(r.sd, "-");
            if (r.msg == "bytes from elsewhere") {
                EXPECT_EQ(r.pri, kLocal0 * 8 + 5);
                EXPECT_EQ(r.msgid, "-");
                continue;
            }
            int n = std::stoi(r.msg.substr(7));
            ++numbered;
            int d = n / per_day, i = n % per_day;
            EXPECT_EQ(r.pri, kLocal0 * 8 + kSeverity[n % 5]) << r.msg;
            EXPECT_EQ(r.time, std::string(days[d].date) + "T10:00:0" + std::to_string(i) + days[d].offset);
            EXPECT_EQ(r.msgid, kTypes[n % 2]);
            // rsyslog writes a received newline as #012: one message, not two.
            EXPECT_EQ(r.msg, "record " + std::to_string(n) + (n == 7 ? " first#012second" : ""));
        }
        EXPECT_EQ(numbered, 2 * per_day);
        // A second run has nothing left to send.
        EXPECT_EQ(bed::run(forwarder(row.to, row.host, once), kBerlin).status, 0);
        EXPECT_EQ(received_from(*collector_, row.host).size(), got.size());
    }
}

TEST_F(Forward, OnceFailsWhenTheCollectorCannotTakeIt) {
    append(bed::day_path(), line(0, 0, "2026-12-08 10:00:00", "record 0"));
    const std::string foreign_ca = "/var/log/other-ca";
    mkdir(foreign_ca.c_str(), 0700);
    ASSERT_TRUE(collector::make_certificates(foreign_ca));
    const struct {
        std::vector<std::string> to;
        const char *why;
    } rows[] = {
        {{"tcp://127.0.0.1:1"}, "connect"},
        {{"relp://127.0.0.1:1"}, "relp://127.0.0.1:1"},
        {{"tls://127.0.0.1:" + std::to_string(collector_->ports().tls), "--ca", foreign_ca + "/ca.pem"},
         "certificate"},
        // This listener takes only clients with a certificate, and none is given.
        {tls(collector_->ports().tls_client), "cannot deliver"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.to[0]);
        bed::Output out = bed::run(forwarder(row.to, "refused", {"--once"}));
        EXPECT_EQ(out.status, 1);
        EXPECT_NE(out.err.find(row.why), std::string::npos) << out.err;
        struct stat st;
        EXPECT_NE(stat(kState.c_str(), &st), 0) << "a position was saved";
    }
    EXPECT_TRUE(received_from(*collector_, "refused").empty());
}

TEST_F(Forward, BadArgumentsAreRefused) {
    const std::vector<std::vector<std::string>> rows = {
        {},
        {"ftp://host:1"},
        {"tcp://host"},
        {"tcp://host:0"},
        {"tcp://host:70000"},
        {"tls://host:1"},
        {"tcp://host:1", "--ca", "x"},
        {"tls://host:1", "--ca", "x", "--cert", "c"},
        {"tcp://host:1", "--facility", "local9"},
        {"tcp://host:1", "--hostname", "two words"},
        {"tcp://host:1", "--batch", "0"},
        {"tcp://host:1", "--bogus"},
        {"tcp://host:1", "dir", "extra"},
        {"tcp://host:1", "/var/log/Tembra/"},
        {"tcp://host:1", "--max-message", "479"},
        {"tcp://host:1", "--max-message=lots"},
        {"tcp://host:1", "--directory"},
        {"tcp://host:1", "--directory="},
    };
    for (const auto &row : rows) {
        std::vector<std::string> argv = {"tembra-forward"};
        argv.insert(argv.end(), row.begin(), row.end());
        bed::Output out = bed::run(argv);
        EXPECT_EQ(out.status, 2) << testing::PrintToString(row);
        EXPECT_NE(out.err.find("usage:"), std::string::npos);
    }
}

// Appends records start..end-1 to today's file.
void append_numbered(int start, int end) {
    std::string text;
    for (int n = start; n < end; ++n)
        text += line(n % 5, n % 2, "2026-12-08 10:00:00", "record " + std::to_string(n) + " ok");
    append(bed::day_path(), text);
}

TEST_F(Forward, CollectorKilledTwiceOverRelpLosesNothing) {
    const int batch = 200, chunk = 1000, chunks = 30;
    bed::Background fwd = bed::start(forwarder(relp(), "outages", {"--batch", std::to_string(batch)}));
    for (int c = 0; c < chunks; ++c) {
        // Twice the collector dies just after a chunk came, while the forwarder
        // sends it, and stays away long enough for the forwarder to find out.
        bool outage = c == 10 || c == 20;
        // Back from the last outage first: caught up on what came before.
        if (outage) {
            ASSERT_TRUE(all_arrive("outages", c * chunk, 30));
        }
        append_numbered(c * chunk, (c + 1) * chunk);
        if (outage) {
            usleep(5000);
            collector_->stop(SIGKILL);
            usleep(1500000);
            ASSERT_TRUE(collector_->start()) << collector_->diagnostics();
        }
        usleep(20000);
    }
    bool complete = all_arrive("outages", chunk * chunks, 60);
    bed::Output out = bed::finish(fwd, SIGTERM);
    EXPECT_TRUE(complete) << out.err;
    EXPECT_EQ(out.status, 0) << out.err;
    Tally t = tally(arrivals(*collector_, "outages"), chunk * chunks);
    EXPECT_EQ(t.missing, 0);
    // At most the batch in flight at each of the two outages is sent twice.
    EXPECT_LE(t.duplicates, 2 * batch);
    EXPECT_EQ(bed::count_of(out.err, "cannot deliver"), 2u) << out.err;
    EXPECT_EQ(bed::count_of(out.err, "again"), 2u) << out.err;
    std::printf("collector killed twice: missing %d, duplicates %d (bound %d)\n", t.missing, t.duplicates,
                2 * batch);
}

TEST_F(Forward, ForwarderKilledAndRestartedLosesNothing) {
    const int batch = 500, total = 40000;
    const struct {
        const char *host;
        std::vector<std::string> to;
    } rows[] = {{"killed-tcp", tcp()}, {"killed-tls", tls()}, {"killed-relp", relp()}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.host);
        bed::reset();
        unlink(kState.c_str());
        append_numbered(0, total / 2);
        std::vector<std::string> argv = forwarder(row.to, row.host, {"--batch", std::to_string(batch)});
        bed::Background fwd = bed::start(argv);
        // Killed as soon as it saved its first position, with most still to send.
        struct stat st;
        bed::wait_for([&] { return stat(kState.c_str(), &st) == 0; }, 20000);
        bed::finish(fwd, SIGKILL);
        append_numbered(total / 2, total);
        fwd = bed::start(argv);
        bool complete = all_arrive(row.host, total, 60);
        bed::Output out = bed::finish(fwd, SIGTERM);
        EXPECT_TRUE(complete) << out.err;
        Tally t = tally(arrivals(*collector_, row.host), total);
        EXPECT_EQ(t.missing, 0);
        EXPECT_LE(t.duplicates, batch);
        std::printf("%s killed once: missing %d, duplicates %d (bound %d)\n", row.host, t.missing,
                    t.duplicates, batch);
    }
}

}  // namespace

namespace {

// Days' files named by date, each with the records given.
std::string day_file(int date) { return bed::kDir + "tembra-" + std::to_string(date) + ".log"; }
void append_records(int date, int start, int end) {
    std::string text;
    for (int n = start; n < end; ++n)
        text += line(n % 5, n % 2, "2026-12-08 10:00:00", "record " + std::to_string(n) + " ok");
    append(day_file(date), text);
}

double elapsed_since(const timespec &start) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec - start.tv_sec + (now.tv_nsec - start.tv_nsec) / 1e9;
}

TEST_F(Forward, LongRecordsArriveInPartsThatRejoin) {
    // The collector runs with rsyslog's default sizes: every part must fit them.
    std::string utf8 = "x";
    while (utf8.size() < 9001) utf8 += "\xC3\xA9";
    const struct {
        const char *host;
        std::string message;
        bool framed;
        size_t max;  // 0: the default
        bool parts;
    } rows[] = {
        {"fits", std::string(8000, 'a'), true, 0, false},
        {"two-parts", std::string(9000, 'b'), true, 0, true},
        {"small-max", std::string(2000, 'c'), true, 480, true},
        {"utf8", utf8, true, 0, true},
        {"ten-mb", std::string(10 << 20, 'd'), true, 0, true},
        {"foreign", std::string(100000, 'e'), false, 0, true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.host);
        bed::reset();
        unlink(kState.c_str());
        append(bed::day_path(), row.framed ? line(3, 1, "2026-12-08 10:00:00", row.message) : row.message + "\n");
        append(bed::day_path(), line(0, 0, "2026-12-08 10:00:01", "after"));
        std::vector<std::string> extra = {"--once"};
        if (row.max) extra.push_back("--max-message=" + std::to_string(row.max));
        bed::Output out = bed::run(forwarder(relp(), row.host, extra), kBerlin);
        ASSERT_EQ(out.status, 0) << out.err;
        std::vector<Received> got = received_from(*collector_, row.host);
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got.back().msg, "after") << "the record after the long one";
        got.pop_back();
        size_t max = row.max ? row.max : 8096;
        // The header and the marker take at most 200 bytes of each message.
        ASSERT_GE(got.size(), row.parts ? (row.message.size() + max - 1) / max : 1);
        ASSERT_LE(got.size(), row.parts ? (row.message.size() + max - 201) / (max - 200) : 1);
        std::string joined;
        for (size_t i = 0; i < got.size(); ++i) {
            const Received &r = got[i];
            EXPECT_EQ(r.pri, kLocal0 * 8 + (row.framed ? kSeverity[3] : 5));
            EXPECT_EQ(r.msgid, row.framed ? "SERVER" : "-");
            EXPECT_EQ(r.time, row.framed ? "2026-12-08T10:00:00+01:00" : r.time);
            Part p;
            if (!row.parts) {
                EXPECT_EQ(r.sd, "-");
            } else {
                ASSERT_TRUE(part_of(r.sd, p)) << r.sd;
                EXPECT_EQ(p.n, (int)i + 1);
                EXPECT_EQ(p.of, (int)got.size());
                EXPECT_EQ(p.at, 0u);
            }
            EXPECT_NE((unsigned char)r.msg[0] & 0xC0, 0x80) << "a character split at part " << i + 1;
            // What was sent, as the collector wrote it back.
            size_t whole = std::to_string(r.pri).size() + 4 + r.time.size() + r.host.size() + r.app.size() +
                           r.procid.size() + r.msgid.size() + r.sd.size() + r.msg.size() + 6;
            if (row.framed) {
                EXPECT_LE(whole, max) << "part " << i + 1;
            }
            joined += r.msg;
        }
        EXPECT_TRUE(joined == row.message) << joined.size() << " bytes rejoined of " << row.message.size();
    }
}

TEST_F(Forward, FilesThatCannotBeReadAreToldOnceAndSkipped) {
    const std::string problem = day_file(20261202);
    const struct {
        const char *host;
        std::function<void()> make;  // puts something unreadable at the second day's name
        std::vector<std::string> extra;
        const char *told;  // what stderr names, once
        int arrive;        // records that arrive: the first and third day's, or none
    } rows[] = {
        {"fifo", [&] { mkfifo(problem.c_str(), 0600); }, {}, "tembra-20261202.log: not a regular file", 2},
        {"dir", [&] { mkdir(problem.c_str(), 0700); }, {}, "tembra-20261202.log: a directory", 2},
        {"dangling", [&] { symlink("/var/log/none", problem.c_str()); }, {}, "tembra-20261202.log: a symbolic link", 2},
        {"link", [&] { symlink(day_file(20261201).c_str(), problem.c_str()); }, {}, "tembra-20261202.log: a symbolic link", 2},
        {"bad-gz",
         [&] {
             std::string gz = problem + ".gz";
             std::system(("seq 100000 | gzip -c > " + gz + " && printf '\\377%.0s' $(seq 64) | "
                          "dd of=" + gz + " bs=1 seek=200 conv=notrunc 2>/dev/null").c_str());
         },
         {}, "tembra-20261202.log.gz: ", 2},
        {"no-dir", [] {}, {"--directory=/var/log/none"}, "/var/log/none/: No such file", 0},
        {"file-dir", [] { append("/var/log/plain", "x\n"); }, {"--directory", "/var/log/plain"}, "/var/log/plain/: Not a directory", 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.host);
        rmdir(problem.c_str());
        bed::reset();
        unlink(kState.c_str());
        append_records(20261201, 0, 1);
        append_records(20261203, 1, 2);
        row.make();
        std::vector<std::string> extra = row.extra;
        extra.push_back("--once");
        // Twice: a second run neither sends anything again nor stays silent.
        for (int run = 0; run < 2; ++run) {
            bed::Output out = bed::run(forwarder(relp(), row.host, extra));
            EXPECT_EQ(out.status, 1) << out.err;
            EXPECT_EQ(bed::count_of(out.err, row.told), 1u) << out.err;
            std::map<int, int> count = arrivals(*collector_, row.host);
            EXPECT_EQ(count.size(), (size_t)row.arrive);
            for (auto [n, times] : count) EXPECT_EQ(times, 1) << "record " << n;
        }
    }
}

TEST_F(Forward, SavedPositionIsReadStrictly) {
    const std::string path = day_file(20261208);
    for (int n = 0; n < 3; ++n) append(path, line(0, 0, "2026-12-08 10:00:00", "record " + std::to_string(n) + " ok"));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    const std::string id = std::to_string(st.st_dev) + " " + std::to_string(st.st_ino) + " ";
    const std::string header = "tembra-forward position 1\n";
    const size_t row = st.st_size / 3;  // each record's bytes, all alike
    const struct {
        const char *host;
        std::string state;
        int status;
        const char *told;
        std::vector<int> arrive;
    } rows[] = {
        {"cut", header + id + "1", 1, "cut short", {}},
        {"negative", header + id + "-5 " + path + "\n", 1, "malformed", {}},
        {"plus", header + id + "+5 " + path + "\n", 1, "malformed", {}},
        {"overflow", header + id + "99999999999999999999 " + path + "\n", 1, "malformed", {}},
        {"two-blanks", header + id + " 5 " + path + "\n", 1, "malformed", {}},
        {"not-a-day-file", header + id + "5 /etc/passwd\n", 1, "malformed", {}},
        {"trailing", header + id + std::to_string(row) + " " + path + "\nx", 1, "cut short", {}},
        {"no-header", id + "0 " + path + "\n", 1, "no header", {}},
        {"empty", "", 1, "no header", {}},
        {"header-only", header, 1, "no position", {}},
        {"at-a-line", header + id + std::to_string(row) + " " + path + "\n", 0, "", {1, 2}},
        {"mid-line", header + id + std::to_string(row + 3) + " " + path + "\n", 0, "inside a line", {2}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.host);
        std::ofstream(kState, std::ios::trunc | std::ios::binary) << r.state;
        bed::Output out = bed::run(forwarder(relp(), r.host, {"--once"}));
        EXPECT_EQ(out.status, r.status) << out.err;
        if (*r.told) {
            EXPECT_EQ(bed::count_of(out.err, r.told), 1u) << out.err;
        } else {
            EXPECT_EQ(out.err, "");
        }
        std::vector<int> got;
        for (auto [n, times] : arrivals(*collector_, r.host)) got.push_back(n);
        EXPECT_EQ(got, r.arrive);
        if (r.status != 0) {
            std::ifstream in(kState, std::ios::binary);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), r.state) << "a refused state was changed";
        }
    }
}

TEST_F(Forward, LinesAddedToAnEarlierDayArrive) {
    append_records(20261207, 0, 10);
    append_records(20261208, 10, 20);
    std::vector<std::string> argv = forwarder(tcp(), "late");
    bed::Background fwd = bed::start(argv);
    ASSERT_TRUE(all_arrive("late", 20, 20));
    append_records(20261207, 20, 30);
    EXPECT_TRUE(all_arrive("late", 30, 10)) << "an earlier day's new lines within 10 s";
    bed::finish(fwd, SIGTERM);
    // Kept in the saved position: lines added while it was stopped arrive too.
    append_records(20261207, 30, 40);
    fwd = bed::start(argv);
    EXPECT_TRUE(all_arrive("late", 40, 10));
    bed::Output out = bed::finish(fwd, SIGTERM);
    Tally t = tally(arrivals(*collector_, "late"), 40);
    EXPECT_EQ(t.missing, 0) << out.err;
    EXPECT_EQ(t.duplicates, 0) << out.err;
}

TEST_F(Forward, OnceDoesNotWaitOnFinishedDays) {
    for (int d = 0; d < 10; ++d) append_records(20261101 + d, d, d + 1);
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    bed::Output out = bed::run(forwarder(relp(), "days", {"--once"}));
    double took = elapsed_since(start);
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(tally(arrivals(*collector_, "days"), 10).missing, 0);
    // It used to wait 2 s on each finished day's file.
    EXPECT_LT(took, 5.0);
}

TEST_F(Forward, SecondCollectorTakesOverAndTheFirstComesBack) {
    collector::Ports other;
    other.tcp = 10524, other.tls = 10525, other.relp = 10526, other.tls_client = 10527;
    collector::Collector second("/var/log/collector2", other);
    ASSERT_TRUE(second.start()) << second.diagnostics();
    const int batch = 100;
    bed::Background fwd = bed::start(forwarder({collector_->url("relp"), second.url("relp")}, "pair",
                                               {"--batch", std::to_string(batch)}));
    auto both = [&] {
        std::map<int, int> count = arrivals(*collector_, "pair");
        for (auto [n, times] : arrivals(second, "pair")) count[n] += times;
        return count;
    };
    auto all = [&](int total) { return within(30, [&] { return tally(both(), total).missing == 0; }); };
    append_numbered(0, 1000);
    ASSERT_TRUE(all(1000));
    EXPECT_TRUE(arrivals(second, "pair").empty()) << "the second took records while the first was there";
    collector_->stop(SIGKILL);
    append_numbered(1000, 2000);
    ASSERT_TRUE(all(2000));
    EXPECT_FALSE(arrivals(second, "pair").empty());
    ASSERT_TRUE(collector_->start()) << collector_->diagnostics();
    size_t before = arrivals(*collector_, "pair").size();
    timespec back;
    clock_gettime(CLOCK_MONOTONIC, &back);
    int next = 2000;
    bool returned = within(15, [&] {
        append_numbered(next, next + 10);
        next += 10;
        return arrivals(*collector_, "pair").size() > before;
    });
    double took = elapsed_since(back);
    EXPECT_TRUE(returned);
    EXPECT_LE(took, 5.5) << "back to the first collector";
    ASSERT_TRUE(all(next));
    bed::Output out = bed::finish(fwd, SIGTERM);
    Tally t = tally(both(), next);
    EXPECT_EQ(t.missing, 0);
    EXPECT_LE(t.duplicates, 2 * batch) << "a batch at most per change of collector";
    EXPECT_EQ(bed::count_of(out.err, "cannot deliver to " + collector_->url("relp")), 1u) << out.err;
    EXPECT_EQ(bed::count_of(out.err, "back to " + collector_->url("relp")), 1u) << out.err;
    std::printf("fail-over: duplicates %d, back to the first after %.1f s\n", t.duplicates, took);
}

}  // namespace
