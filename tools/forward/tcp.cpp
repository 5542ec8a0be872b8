// tcp://: RFC 5424 messages in octet-counted frames (RFC 6587 3.4.1), confirmed
// when the socket's send queue is empty.
#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "message.h"
#include "transport.h"

namespace forward {

namespace {

class Tcp : public Transport {
  public:
    explicit Tcp(const Collector &c) : c_(c) {}
    ~Tcp() override { close(); }

    bool open() override {
        close();
        fd_ = connect_tcp(c_.host, c_.port, error_);
        return fd_ >= 0;
    }

    bool deliver(const std::vector<std::string> &messages) override {
        if (fd_ < 0 && !open()) return false;
        frames_.clear();
        for (const std::string &m : messages) append_octet_counted(frames_, m);
        for (size_t sent = 0; sent < frames_.size();) {
            ssize_t n = send(fd_, frames_.data() + sent, frames_.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return fail(std::string("send: ") + (n < 0 ? strerror(errno) : "nothing sent"));
            sent += (size_t)n;
        }
        std::string why;
        return wait_sent(fd_, why) || fail(why);
    }

    void close() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    const Collector &c_;
    int fd_ = -1;
    std::string frames_;
};

}  // namespace

std::unique_ptr<Transport> make_tcp(const Collector &c) { return std::make_unique<Tcp>(c); }

}  // namespace forward
