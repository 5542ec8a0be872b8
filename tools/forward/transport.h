// The one interface of tcp://, tls:// and relp:// delivery, and the socket
// helpers the first two share.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "settings.h"

namespace forward {

class Transport {
  public:
    virtual ~Transport() = default;
    // Connects (again); false with error() set.
    virtual bool open() = 0;
    // Sends the messages in order and returns true only once the collector has
    // taken every one of them; false (connection dropped, error() set) when any
    // may not have been taken.
    virtual bool deliver(const std::vector<std::string> &messages) = 0;
    virtual void close() = 0;
    const std::string &error() const { return error_; }

  protected:
    bool fail(const std::string &why);
    std::string error_;
};

// The transport to one collector, by its scheme.
std::unique_ptr<Transport> make_tcp(const Collector &c);
std::unique_ptr<Transport> make_tls(const Settings &s, const Collector &c);
std::unique_ptr<Transport> make_relp(const Collector &c);
std::unique_ptr<Transport> make_transport(const Settings &s, const Collector &c);

// How long one connection attempt, one write or the wait for a confirmation may take.
constexpr int kTimeoutSeconds = 10;

// A connected, blocking TCP socket with send and receive timeouts, or -1 with why set.
int connect_tcp(const std::string &host, const std::string &port, std::string &why);
// Whether host:port accepts a TCP connection within a quarter of a second: a
// quick look at a collector that may be back, which a silent one cannot hold up.
bool reachable(const std::string &host, const std::string &port);
// Waits until the kernel's send queue of fd is empty (SIOCOUTQ 0: the collector's
// side acknowledged every byte); false when the peer closes or resets the
// connection or the timeout passes.
bool wait_sent(int fd, std::string &why);

}  // namespace forward
