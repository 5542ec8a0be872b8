// tembra-forward's settings, filled from the command line, and the parts of the
// program that share them: options, messages, transports, saved state, main loop.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "logger/line_format.h"

namespace forward {

struct Settings {
    std::string collector;  // the collector as given: tcp://, tls:// or relp://HOST:PORT
    std::string scheme;     // "tcp", "tls" or "relp", from collector
    std::string host;       // the collector's host name or address, from collector
    std::string port;       // the collector's port, from collector
    std::string directory = LOG_DIRECTORY;                // where the day files are
    std::string state = "/var/lib/tembra/forward.state";  // the saved position
    std::string ca;         // TLS: the CA file the collector's certificate must chain to
    std::string cert;       // TLS: our client certificate, if the collector asks for one
    std::string key;        // TLS: the private key of cert
    std::string hostname;   // the HOSTNAME field of every message (default: this machine's)
    int facility = 16;      // syslog facility number (local0)
    bool once = false;      // send what the files hold now, then exit
    size_t batch = 2000;    // records per confirmed batch: at most this many are sent again
                            // after a crash
};

// Parses argv into settings. Returns -1 to go on, or the exit status for main
// (0 after --help or --version, 2 after a usage error, reported on stderr).
int parse_options(int argc, char **argv, Settings &settings);

}  // namespace forward
