// tembra-drain: takes the pending lines off "/mqd" into the day's log file,
// once, or as they arrive with --follow. Options and the one-shot drain.
#include <getopt.h>
#include <stdlib.h>

#include <cstdio>

#include "logger/logger.h"
#include "tools/drain/drain.h"

namespace {

const char kUsage[] =
    "usage: tembra-drain [-f|--follow] [--depth N] [-h|--help] [-V|--version]\n"
    "  Appends every line pending in the queue /mqd to /var/log/Tembra/tembra-YYYYMMDD.log.\n"
    "  -f, --follow   keep running, draining as lines arrive, until SIGINT or SIGTERM;\n"
    "                 SIGHUP reopens the file\n"
    "  --depth N      when /mqd does not exist, create it to hold N lines (default 1024)\n"
    "                 or as many as the system allows\n"
    "  -h, --help     show this help\n"
    "  -V, --version  show the version\n";

int bad_option(const char *why, const char *what) {
    std::fprintf(stderr, "tembra-drain: %s '%s'; usage: tembra-drain [-f|--follow] [--depth N]\n", why, what);
    return 2;
}

// A depth from 1 to 65536, the most any system allows; 0 when not one.
long parse_depth(const char *text) {
    char *end = nullptr;
    long depth = strtol(text, &end, 10);
    return *text != '\0' && *end == '\0' && depth >= 1 && depth <= 65536 ? depth : 0;
}

}  // namespace

int main(int argc, char **argv) {
    enum { kDepth = 256 };
    const option options[] = {{"follow", no_argument, nullptr, 'f'},
                              {"depth", required_argument, nullptr, kDepth},
                              {"help", no_argument, nullptr, 'h'},
                              {"version", no_argument, nullptr, 'V'},
                              {nullptr, 0, nullptr, 0}};
    Settings settings;
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, ":fhV", options, nullptr)) != -1;) {
        switch (c) {
        case 'f': settings.follow = true; break;
        case kDepth:
            settings.depth = parse_depth(optarg);
            if (settings.depth == 0) return bad_option("--depth takes a number from 1 to 65536, not", optarg);
            break;
        case 'h': std::fputs(kUsage, stdout); return 0;
        case 'V': std::puts("tembra-drain " TEMBRA_VERSION); return 0;
        case ':': return bad_option("missing the value of", argv[optind - 1]);
        default: return bad_option("unknown option", argv[optind - 1]);
        }
    }
    if (optind < argc) return bad_option("unexpected argument", argv[optind]);

    if (!set_up(settings)) return 1;
    if (settings.follow) return follow(settings);
    mq_attr attr{};
    mq_getattr(mqd, &attr);
    print_attr_info(&attr);
    return Log_Drain() < 0 ? 1 : 0;
}
