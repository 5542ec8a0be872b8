// A real syslog collector (Debian's rsyslogd) for tests and benchmarks, started in
// the caller's private namespaces and listening on 127.0.0.1 only.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace collector {

// Moves the calling process into a network namespace of its own with only the
// loopback interface, brought up; false (with errno) when the system refuses.
bool enter_network();

struct Ports {
    std::string address = "127.0.0.1";  // where every input listens
    int tcp = 10514;   // imtcp, octet-counted framing
    int tls = 10515;   // imtcp over the gtls stream driver
    int relp = 10516;  // imrelp
    int tls_client = 10517;  // imtcp over gtls, taking only clients with a certificate of the CA
};

// One rsyslogd with a configuration of its own in dir: the three inputs write every
// message they take with RSYSLOG_SyslogProtocol23Format to received(), through a
// Direct queue, so what it acknowledged is already in the file. Message sizes are
// rsyslog's defaults, what a collector nobody configured for us takes.
class Collector {
  public:
    // Creates dir with a CA, a server certificate for 127.0.0.1 and the config.
    explicit Collector(std::string dir, Ports ports = {});
    ~Collector();
    Collector(const Collector &) = delete;
    Collector &operator=(const Collector &) = delete;

    // Starts rsyslogd and waits until every port accepts; false when it does not.
    bool start();
    // Ends it with sig (SIGKILL: no chance to flush anything) and reaps it.
    void stop(int sig);
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    const Ports &ports() const { return ports_; }
    std::string ca() const { return dir_ + "/ca.pem"; }
    std::string output_path() const { return dir_ + "/received.log"; }
    std::string url(const char *scheme) const;  // "relp://ADDRESS:PORT" for scheme's input
    // Lines written so far to the output file.
    std::vector<std::string> received() const;
    // rsyslogd's own stderr and internal messages, for failure reports.
    std::string diagnostics() const;

  private:
    std::string dir_;
    Ports ports_;
    pid_t pid_ = -1;
};

// Makes with certtool, in dir, a CA (ca.pem) and two certificates it signed for
// localhost / 127.0.0.1: server.pem and client.pem with their .key files.
bool make_certificates(const std::string &dir);

}  // namespace collector
