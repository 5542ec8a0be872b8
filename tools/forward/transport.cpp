// Choosing the transport, and the TCP connection and send-queue wait shared by
// tcp:// and tls://.
#include "transport.h"

#include "common/clock.h"

#include <errno.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace forward {

bool Transport::fail(const std::string &why) {
    error_ = why;
    close();
    return false;
}

std::unique_ptr<Transport> make_transport(const Settings &s, const Collector &c) {
    if (c.scheme == "tls") return make_tls(s, c);
    if (c.scheme == "relp") return make_relp(c);
    return make_tcp(c);
}

namespace {

// connect(), bounded like every later read and write by the socket timeouts
// (Linux applies SO_SNDTIMEO to connect).
bool connect_within(int fd, const addrinfo *a, std::string &why) {
    timeval limit = {kTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) return true;
    why = std::string("connect: ") + strerror(errno);
    return false;
}

}  // namespace

int connect_tcp(const std::string &host, const std::string &port, std::string &why) {
    addrinfo hints{}, *found = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) {
        why = host + ": " + gai_strerror(rc);
        return -1;
    }
    int fd = -1;
    for (addrinfo *a = found; a && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd >= 0 && !connect_within(fd, a, why)) {
            ::close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd >= 0) {
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    return fd;
}

bool reachable(const std::string &host, const std::string &port) {
    addrinfo hints{}, *found = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return false;
    bool ok = false;
    for (addrinfo *a = found; a && !ok; a = a->ai_next) {
        int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) continue;
        pollfd p = {fd, POLLOUT, 0};
        int error = 0;
        socklen_t size = sizeof error;
        ok = (connect(fd, a->ai_addr, a->ai_addrlen) == 0 ||
              (errno == EINPROGRESS && poll(&p, 1, 250) == 1 &&
               getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0));
        ::close(fd);
    }
    freeaddrinfo(found);
    return ok;
}

bool wait_sent(int fd, std::string &why) {
    int64_t deadline = tools::monotonic_ms() + kTimeoutSeconds * 1000;
    for (int pause_us = 20;; pause_us = pause_us < 20000 ? pause_us * 2 : pause_us) {
        int queued = 0;
        if (ioctl(fd, SIOCOUTQ, &queued) != 0) {
            why = std::string("SIOCOUTQ: ") + strerror(errno);
            return false;
        }
        if (queued == 0) return true;
        pollfd p = {fd, POLLIN | POLLRDHUP, 0};
        if (poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
            why = "the collector closed the connection";
            return false;
        }
        if (tools::monotonic_ms() > deadline) {
            why = "the collector took nothing for " + std::to_string(kTimeoutSeconds) + " s";
            return false;
        }
        usleep((useconds_t)pause_us);
    }
}

}  // namespace forward
