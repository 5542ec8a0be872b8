// tembra-forward against a real rsyslogd on 127.0.0.1 in the test's own network
// namespace: every field of every record, and nothing lost when either side dies.
#include <signal.h>
#include <string.h>
#include <time.h>
#include <sys/stat.h>
#include <unistd.h>

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
        size_t blank = text.find(' ', at);
        if (blank == std::string::npos || blank == at) return false;
        *field = text.substr(at, blank - at);
        at = blank + 1;
    }
    r.msg = text.substr(at);
    return true;
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
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.host);
        unlink(kState.c_str());
        std::vector<std::string> once = row.extra;
        once.push_back("--once");
        bed::Output out = bed::run(forwarder(row.to, row.host, once), kBerlin);
        ASSERT_EQ(out.status, 0) << out.err;
        std::vector<Received> got = received_from(*collector_, row.host);
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
