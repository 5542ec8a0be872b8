// tembra-forward's command line: the collectors' addresses, the options and their checks.
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/cli.h"
#include "settings.h"

namespace forward {

namespace {

const char kTool[] = "tembra-forward";
const char kUsage[] =
    "usage: tembra-forward [OPTIONS] COLLECTOR [COLLECTOR...]\n"
    "  Sends every record of the day files, in date order, to the first syslog collector\n"
    "  that takes it as RFC 5424 messages, from a saved position on; fails over to the\n"
    "  next collector while one is away and comes back to the first when it returns.\n"
    "  COLLECTOR is tcp://HOST:PORT (octet-counted framing), tls://HOST:PORT or relp://HOST:PORT.\n"
    "  -d, --directory DIR   the day files' directory (default /var/log/Tembra/)\n"
    "  -s, --state FILE      the saved position (default /var/lib/tembra/forward.state)\n"
    "  -1, --once            send what the files hold now, then exit (1 if any was not delivered)\n"
    "  -H, --hostname NAME   the HOSTNAME of each message (default: this machine's name)\n"
    "  -F, --facility NAME   syslog facility: kern, user, ..., local0-local7 or 0-23 (default local0)\n"
    "      --ca FILE         tls: the CA certificates the collector is verified against\n"
    "      --cert FILE       tls: a client certificate to present\n"
    "      --key FILE        tls: the private key of --cert\n"
    "  -b, --batch N         records sent before each confirmation (default 2000)\n"
    "  -m, --max-message N   bytes of one message; longer records go in parts (default 8096)\n"
    "  -h, --help            show this help\n"
    "  -V, --version         show the version\n";

const char *const kFacilities[] = {"kern",   "user",   "mail",   "daemon", "auth",   "syslog",
                                   "lpr",    "news",   "uucp",   "cron",   "authpriv", "ftp",
                                   "ntp",    "security", "console", "solaris-cron", "local0",
                                   "local1", "local2", "local3", "local4", "local5", "local6",
                                   "local7"};

int usage_error(const std::string &why) { return tools::usage_error(kTool, why, kUsage); }

bool parse_number(const std::string &text, long low, long high, long &value) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::strtol(text.c_str(), nullptr, 10);
    return value >= low && value <= high;
}

int facility_number(const std::string &name) {
    long number;
    if (parse_number(name, 0, 23, number)) return (int)number;
    for (int i = 0; i < 24; ++i)
        if (name == kFacilities[i]) return i;
    return -1;
}

// RFC 5424 allows 1 to 255 printable US-ASCII characters, no blank.
bool valid_hostname(const std::string &name) {
    if (name.empty() || name.size() > 255) return false;
    for (unsigned char c : name)
        if (c < 33 || c > 126) return false;
    return true;
}

// Splits scheme://HOST:PORT (HOST may be [v6 address]); false when malformed.
bool parse_collector(const std::string &url, Collector &c) {
    c.url = url;
    size_t sep = url.find("://");
    if (sep == std::string::npos) return false;
    c.scheme = url.substr(0, sep);
    std::string rest = url.substr(sep + 3);
    size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    c.host = rest.substr(0, colon);
    c.port = rest.substr(colon + 1);
    if (c.host.front() == '[') {
        if (c.host.size() < 3 || c.host.back() != ']') return false;
        c.host = c.host.substr(1, c.host.size() - 2);
    }
    long port;
    return (c.scheme == "tcp" || c.scheme == "tls" || c.scheme == "relp") &&
           c.host.find_first_of("/[]") == std::string::npos && parse_number(c.port, 1, 65535, port);
}

// The checks that need every option: run after the loop.
int check(Settings &s, const std::string &facility) {
    bool tls = false;
    for (const Collector &c : s.collectors) tls = tls || c.scheme == "tls";
    if (s.collectors.empty()) return usage_error("give at least one COLLECTOR");
    if (tls && s.ca.empty()) return usage_error("tls:// needs --ca FILE");
    if (!tls && !(s.ca.empty() && s.cert.empty() && s.key.empty()))
        return usage_error("--ca, --cert and --key are for tls:// only");
    if (s.cert.empty() != s.key.empty()) return usage_error("--cert and --key go together");
    if ((s.facility = facility_number(facility)) < 0)
        return usage_error("unknown facility '" + facility + "'");
    if (s.hostname.empty()) {
        char name[256] = {};
        gethostname(name, sizeof name - 1);
        s.hostname = name;
    }
    if (!valid_hostname(s.hostname))
        return usage_error("the hostname must be 1-255 printable characters without blanks");
    if (s.directory.empty()) return usage_error("--directory needs a directory");
    if (!s.directory.ends_with('/')) s.directory += '/';
    return tools::kRun;
}

}  // namespace

int parse_options(int argc, char **argv, Settings &s) {
    enum { kCa = 1000, kCert, kKey };
    const option longs[] = {{"directory", required_argument, nullptr, 'd'},
                            {"state", required_argument, nullptr, 's'},
                            {"once", no_argument, nullptr, '1'},
                            {"hostname", required_argument, nullptr, 'H'},
                            {"facility", required_argument, nullptr, 'F'},
                            {"ca", required_argument, nullptr, kCa},
                            {"cert", required_argument, nullptr, kCert},
                            {"key", required_argument, nullptr, kKey},
                            {"batch", required_argument, nullptr, 'b'},
                            {"max-message", required_argument, nullptr, 'm'},
                            {"help", no_argument, nullptr, 'h'},
                            {"version", no_argument, nullptr, 'V'},
                            {nullptr, 0, nullptr, 0}};
    std::string facility = "local0";
    opterr = 0;
    optind = 1;
    long n = 0;
    for (int c; (c = getopt_long(argc, argv, ":d:s:1H:F:b:m:hV", longs, nullptr)) != -1;) {
        std::string arg = optarg ? optarg : "";
        switch (c) {
        case 'd': s.directory = arg; break;
        case 's': s.state = arg; break;
        case '1': s.once = true; break;
        case 'H': s.hostname = arg; break;
        case 'F': facility = arg; break;
        case kCa: s.ca = arg; break;
        case kCert: s.cert = arg; break;
        case kKey: s.key = arg; break;
        case 'b':
            if (!parse_number(arg, 1, 1000000, n)) return usage_error("--batch takes a number from 1 to 1000000");
            s.batch = (size_t)n;
            break;
        case 'm':
            if (!parse_number(arg, (long)kMinMessage, 16 << 20, n))
                return usage_error("--max-message takes a number of bytes from 480 to 16777216");
            s.max_message = (size_t)n;
            break;
        case 'h': std::fputs(kUsage, stdout); return 0;
        case 'V': std::puts("tembra-forward " TEMBRA_VERSION); return 0;
        case ':': return usage_error(std::string("option '") + argv[optind - 1] + "' needs a value");
        default: return usage_error(std::string("unknown or ambiguous option '") + argv[optind - 1] + "'");
        }
    }
    for (int i = optind; i < argc; ++i) {
        Collector c;
        if (!parse_collector(argv[i], c))
            return usage_error(std::string("'") + argv[i] + "' is not tcp://, tls:// or relp://HOST:PORT");
        s.collectors.push_back(c);
    }
    return check(s, facility);
}

}  // namespace forward
