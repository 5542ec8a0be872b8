// tembra-forward's settings, filled from the command line, and the parts of the
// program that share them: options, messages, transports, saved position, main loop.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "logger/line_format.h"

namespace forward {

// One collector as given on the command line.
struct Collector {
    std::string url;     // tcp://, tls:// or relp://HOST:PORT as given
    std::string scheme;  // "tcp", "tls" or "relp"
    std::string host;    // host name or address ([v6] without its brackets)
    std::string port;    // port number, 1-65535
};

// The smallest message every syslog receiver must take (RFC 5424, 6.1).
inline constexpr size_t kMinMessage = 480;
// What rsyslog takes without configuration (syslog's other common receiver takes 64 KiB).
inline constexpr size_t kDefaultMessage = 8096;

struct Settings {
    std::vector<Collector> collectors;     // in order of preference: the first that works is used
    std::string directory = LOG_DIRECTORY;  // where the day files are, ending in '/'
    std::string state = "/var/lib/tembra/forward.state";  // the saved position
    std::string ca;         // TLS: the CA file the collector's certificate must chain to
    std::string cert;       // TLS: our client certificate, if the collector asks for one
    std::string key;        // TLS: the private key of cert
    std::string hostname;   // the HOSTNAME field of every message (default: this machine's)
    int facility = 16;      // syslog facility number (local0)
    bool once = false;      // send what the files hold now, then exit
    size_t batch = 2000;    // records per confirmed batch: at most this many are sent again
                            // after a crash
    size_t max_message = kDefaultMessage;  // bytes of one whole message; longer records go in parts
};

// Parses argv into settings: tools::kRun to go on, or the exit status for main
// (0 after --help or --version, 2 after a usage error, reported on stderr).
int parse_options(int argc, char **argv, Settings &settings);

}  // namespace forward
