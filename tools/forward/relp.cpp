// relp://: a RELP client of its own over the TCP connection: "open" offers the
// syslog command, each message is one "syslog" transaction, and a batch counts
// as taken only when the collector answered each of its transactions with 200.
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <string>
#include <vector>

#include "transport.h"

#include "common/clock.h"

namespace forward {

namespace {

// Transactions sent ahead of their answers, as RELP's window allows.
constexpr size_t kWindow = 1024;
constexpr uint64_t kMaxTxnr = 999999999;
const char kOffer[] = "relp_version=0\nrelp_software=tembra-forward\ncommands=syslog";

// One frame the collector sent: TXNR SP COMMAND SP DATALEN [SP DATA] LF.
struct Frame {
    uint64_t txnr = 0;
    std::string command, data;
};

// Reads one whole frame at the front of in into f: its length, 0 when more
// bytes are needed, -1 when in does not start with a frame.
long take_frame(std::string_view in, Frame &f) {
    const char *p = in.data(), *end = p + in.size();
    auto number = [&](uint64_t &value) {
        auto [next, ec] = std::from_chars(p, end, value);
        if (next == end) return 0;
        if (ec != std::errc()) return -1;
        p = next;
        return 1;
    };
    int ok = number(f.txnr);
    if (ok <= 0) return ok;
    if (*p++ != ' ') return -1;
    const char *blank = (const char *)memchr(p, ' ', (size_t)(end - p));
    if (!blank) return end - p > 32 ? -1 : 0;
    f.command.assign(p, blank);
    p = blank + 1;
    uint64_t length = 0;
    if ((ok = number(length)) <= 0) return ok;
    if (length > 0 && *p++ != ' ') return -1;
    if ((uint64_t)(end - p) < length + 1) return 0;
    f.data.assign(p, (size_t)length);
    p += length;
    if (*p++ != '\n') return -1;
    return p - in.data();
}

class Relp : public Transport {
  public:
    explicit Relp(const Collector &c) : c_(c) {}
    ~Relp() override { close(); }

    bool open() override {
        close();
        fd_ = connect_tcp(c_.host, c_.port, error_);
        if (fd_ < 0) return false;
        next_txnr_ = 1;
        in_.clear();
        out_.clear();
        sent_ = 0;
        queue(std::string("open"), kOffer);
        Frame answer;
        if (!flush() || !await(answer)) return false;
        if (answer.command != "rsp" || !answer.data.starts_with("200"))
            return fail("the collector refused the RELP session: " + answer.data);
        if (answer.data.find("syslog") == std::string::npos)
            return fail("the collector does not offer RELP's syslog command");
        return true;
    }

    bool deliver(const std::vector<std::string> &messages) override {
        if (fd_ < 0 && !open()) return false;
        uint64_t first = next_txnr_;
        size_t sent = 0, answered = 0;
        int64_t deadline = tools::monotonic_ms() + kTimeoutSeconds * 1000;
        while (answered < messages.size()) {
            while (sent < messages.size() && sent - answered < kWindow && pending() < (1 << 20))
                queue("syslog", messages[sent++]);
            pollfd p = {fd_, (short)(POLLIN | (pending() == 0 ? 0 : POLLOUT)), 0};
            int ready = poll(&p, 1, 100);
            if (ready < 0 && errno != EINTR) return fail(std::string("poll: ") + strerror(errno));
            if (ready > 0 && (p.revents & POLLOUT) && !send_some()) return false;
            if (ready > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR))) {
                size_t before = answered;
                if (!receive(first, answered)) return false;
                if (answered > before) deadline = tools::monotonic_ms() + kTimeoutSeconds * 1000;
            }
            if (tools::monotonic_ms() > deadline)
                return fail("the collector answered " + std::to_string(answered) + " of " +
                            std::to_string(messages.size()) + " messages within " +
                            std::to_string(kTimeoutSeconds) + " s");
        }
        return true;
    }

    void close() override {
        if (fd_ >= 0) {
            out_.clear();
            sent_ = 0;
            queue("close", "");
            send(fd_, out_.data(), out_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            ::close(fd_);
        }
        fd_ = -1;
    }

  private:
    size_t pending() const { return out_.size() - sent_; }

    void queue(const std::string &command, std::string_view data) {
        if (sent_ == out_.size()) out_.clear(), sent_ = 0;
        char head[64];
        int n = std::snprintf(head, sizeof head, "%llu %s %zu%s", (unsigned long long)next_txnr_,
                              command.c_str(), data.size(), data.empty() ? "" : " ");
        out_.append(head, (size_t)n).append(data).append("\n");
        next_txnr_ = next_txnr_ == kMaxTxnr ? 1 : next_txnr_ + 1;
    }

    bool send_some() {
        ssize_t n = send(fd_, out_.data() + sent_, pending(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        if (n < 0) return fail(std::string("send: ") + strerror(errno));
        sent_ += (size_t)n;
        if (sent_ == out_.size()) out_.clear(), sent_ = 0;
        return true;
    }

    bool flush() {
        while (pending() > 0) {
            pollfd p = {fd_, POLLOUT, 0};
            if (poll(&p, 1, kTimeoutSeconds * 1000) <= 0) return fail("the collector takes nothing");
            if (!send_some()) return false;
        }
        return true;
    }

    // Reads what is there and counts the answers to the transactions from first on.
    bool receive(uint64_t first, size_t &answered) {
        char buf[16384];
        ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        // Acknowledge at once: a collector that sends its small answers one by
        // one may hold each back until the previous one was acknowledged.
        int on = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        if (n <= 0) return fail(n < 0 ? std::string("recv: ") + strerror(errno)
                                      : "the collector closed the connection");
        in_.append(buf, (size_t)n);
        Frame f;
        size_t used = 0;
        for (long got; (got = take_frame(std::string_view(in_).substr(used), f)) != 0; used += (size_t)got) {
            if (got < 0) return fail("the collector sent something that is not RELP");
            if (f.command == "serverclose") return fail("the collector closed the RELP session");
            if (f.command != "rsp") continue;
            uint64_t expected = first + answered;
            if (expected > kMaxTxnr) expected -= kMaxTxnr;
            if (f.txnr != expected) return fail("the collector answered transaction " + std::to_string(f.txnr) +
                                                " out of turn");
            if (!f.data.starts_with("200"))
                return fail("the collector refused a message: " + f.data.substr(0, 200));
            ++answered;
        }
        in_.erase(0, used);
        return true;
    }

    // Waits for the one answer to what flush() sent.
    bool await(Frame &f) {
        int64_t deadline = tools::monotonic_ms() + kTimeoutSeconds * 1000;
        for (;;) {
            long got = take_frame(in_, f);
            if (got > 0) {
                in_.erase(0, (size_t)got);
                return true;
            }
            if (got < 0) return fail("the collector sent something that is not RELP");
            pollfd p = {fd_, POLLIN, 0};
            int wait = (int)(deadline - tools::monotonic_ms());
            if (wait <= 0 || poll(&p, 1, wait) <= 0) return fail("the collector did not answer RELP's open");
            char buf[4096];
            ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) return fail(n < 0 ? std::string("recv: ") + strerror(errno)
                                          : "the collector closed the connection");
            in_.append(buf, (size_t)n);
        }
    }

    const Collector &c_;
    int fd_ = -1;
    uint64_t next_txnr_ = 1;
    std::string in_, out_;
    size_t sent_ = 0;  // bytes of out_ already sent
};

}  // namespace

std::unique_ptr<Transport> make_relp(const Collector &c) { return std::make_unique<Relp>(c); }

}  // namespace forward
