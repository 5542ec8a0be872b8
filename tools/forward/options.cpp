// tembra-forward's command line: the collector address, the options and their checks.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "settings.h"

namespace forward {

namespace {

const char kUsage[] =
    "usage: tembra-forward [OPTIONS] COLLECTOR [DIRECTORY]\n"
    "  Sends every record of the day files in DIRECTORY (default /var/log/Tembra/), in date\n"
    "  order, to a syslog collector as RFC 5424 messages, from a saved position on.\n"
    "  COLLECTOR is tcp://HOST:PORT (octet-counted framing), tls://HOST:PORT or relp://HOST:PORT.\n"
    "  --state FILE      the saved position (default /var/lib/tembra/forward.state)\n"
    "  --once            send what the files hold now, then exit (1 if any was not delivered)\n"
    "  --hostname NAME   the HOSTNAME of each message (default: this machine's name)\n"
    "  --facility NAME   syslog facility: kern, user, ..., local0-local7 or 0-23 (default local0)\n"
    "  --ca FILE         tls: the CA certificates the collector is verified against\n"
    "  --cert FILE       tls: a client certificate to present\n"
    "  --key FILE        tls: the private key of --cert\n"
    "  --batch N         records sent before each confirmation (default 2000)\n"
    "  --help            show this help\n"
    "  --version         show the version\n";

const char *const kFacilities[] = {"kern",   "user",   "mail",   "daemon", "auth",   "syslog",
                                   "lpr",    "news",   "uucp",   "cron",   "authpriv", "ftp",
                                   "ntp",    "security", "console", "solaris-cron", "local0",
                                   "local1", "local2", "local3", "local4", "local5", "local6",
                                   "local7"};

int usage_error(const std::string &why) {
    std::fprintf(stderr, "tembra-forward: %s\n%s", why.c_str(), kUsage);
    return 2;
}

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
bool parse_collector(Settings &s) {
    size_t sep = s.collector.find("://");
    if (sep == std::string::npos) return false;
    s.scheme = s.collector.substr(0, sep);
    std::string rest = s.collector.substr(sep + 3);
    size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    s.host = rest.substr(0, colon);
    s.port = rest.substr(colon + 1);
    if (s.host.front() == '[') {
        if (s.host.size() < 3 || s.host.back() != ']') return false;
        s.host = s.host.substr(1, s.host.size() - 2);
    }
    long port;
    return s.host.find_first_of("/[]") == std::string::npos && parse_number(s.port, 1, 65535, port);
}

}  // namespace

int parse_options(int argc, char **argv, Settings &s) {
    std::string facility = "local0";
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string &into) {
            if (i + 1 >= argc) return false;
            into = argv[++i];
            return true;
        };
        std::string batch;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::puts("tembra-forward " TEMBRA_VERSION);
            return 0;
        } else if (arg == "--once") {
            s.once = true;
        } else if (arg == "--state" || arg == "--hostname" || arg == "--facility" || arg == "--ca" ||
                   arg == "--cert" || arg == "--key" || arg == "--batch") {
            std::string &into = arg == "--state" ? s.state
                                : arg == "--hostname" ? s.hostname
                                : arg == "--facility" ? facility
                                : arg == "--ca" ? s.ca
                                : arg == "--cert" ? s.cert
                                : arg == "--key" ? s.key
                                                 : batch;
            if (!value(into)) return usage_error(arg + " needs a value");
            long n = 0;
            if (arg == "--batch" && !parse_number(batch, 1, 1000000, n))
                return usage_error("--batch takes a number from 1 to 1000000");
            if (arg == "--batch") s.batch = (size_t)n;
        } else if (arg == "--") {
            words.insert(words.end(), argv + i + 1, argv + argc);
            break;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usage_error("unknown option '" + arg + "'");
        } else {
            words.push_back(arg);
        }
    }
    if (words.empty() || words.size() > 2) return usage_error("give one COLLECTOR and at most one DIRECTORY");
    s.collector = words[0];
    if (words.size() == 2) s.directory = words[1];
    if (!s.directory.empty() && s.directory.back() != '/') s.directory += '/';
    if (!parse_collector(s) || (s.scheme != "tcp" && s.scheme != "tls" && s.scheme != "relp"))
        return usage_error("'" + s.collector + "' is not tcp://, tls:// or relp://HOST:PORT");
#ifndef TEMBRA_HAVE_RELP
    if (s.scheme == "relp") return usage_error("this tembra-forward was built without librelp");
#endif
    if (s.scheme == "tls" && s.ca.empty()) return usage_error("tls:// needs --ca FILE");
    if (s.scheme != "tls" && !(s.ca.empty() && s.cert.empty() && s.key.empty()))
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
    return -1;
}

}  // namespace forward
