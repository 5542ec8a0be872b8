// tembra-drain: takes the pending lines off "/mqd" into the day's log file,
// once, or as they arrive with --follow. Options and the one-shot drain.
#include <getopt.h>
#include <grp.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "common/cli.h"
#include "logger/logger.h"
#include "tools/drain/drain.h"

namespace {

const char kUsage[] =
    "usage: tembra-drain [-f|--follow] [--depth N] [--posters=WHO] [-h|--help] [-V|--version]\n"
    "  Appends every line pending in the queue /mqd to /var/log/Tembra/tembra-YYYYMMDD.log.\n"
    "  -f, --follow   keep running, draining as lines arrive, until SIGINT or SIGTERM;\n"
    "                 SIGHUP reopens the file; a /mqd of another user is taken over\n"
    "  --depth N      when /mqd does not exist, create it to hold N lines (default 1024)\n"
    "                 or as many as the system allows\n"
    "  --posters=WHO  who may post to /mqd: all, group (the drain's group), group:NAME\n"
    "                 or owner (the default); only the drain's user reads it\n"
    "  -h, --help     show this help\n"
    "  -V, --version  show the version\n";

int usage_error(const std::string &why) { return tools::usage_error("tembra-drain", why, kUsage); }

// A depth from 1 to 65536, the most any system allows; 0 when not one.
long parse_depth(const char *text) {
    char *end = nullptr;
    long depth = strtol(text, &end, 10);
    return *text != '\0' && *end == '\0' && depth >= 1 && depth <= 65536 ? depth : 0;
}

// Fills posters from "all", "owner", "group" or "group:NAME"; "" or why not.
std::string parse_posters(const std::string &text, Posters &posters) {
    posters.given = true;
    posters.group = getegid();
    if (text == "all") posters.kind = Posters::kAll;
    else if (text == "owner") posters.kind = Posters::kOwner;
    else if (text == "group") posters.kind = Posters::kGroup;
    else if (!text.starts_with("group:")) return "--posters takes all, group, group:NAME or owner, not '" + text + "'";
    else if (group *named = getgrnam(text.c_str() + 6)) posters = {Posters::kGroup, named->gr_gid, true};
    else return "--posters: there is no group '" + text.substr(6) + "'";
    return "";
}

// Fills settings; tools::kRun to go on, else the exit status.
int parse_options(int argc, char **argv, Settings &settings) {
    enum { kDepth = 256, kPosters };
    static const option kOptions[] = {{"follow", no_argument, nullptr, 'f'},
                                      {"depth", required_argument, nullptr, kDepth},
                                      {"posters", required_argument, nullptr, kPosters},
                                      {"help", no_argument, nullptr, 'h'},
                                      {"version", no_argument, nullptr, 'V'},
                                      {nullptr, 0, nullptr, 0}};
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, ":fhV", kOptions, nullptr)) != -1;) {
        switch (c) {
        case 'f': settings.follow = true; break;
        case kDepth:
            settings.depth = parse_depth(optarg);
            if (settings.depth == 0)
                return usage_error(std::string("--depth takes a number from 1 to 65536, not '") + optarg + "'");
            break;
        case kPosters:
            if (std::string why = parse_posters(optarg, settings.posters); !why.empty()) return usage_error(why);
            break;
        case 'h': std::fputs(kUsage, stdout); return 0;
        case 'V': std::puts("tembra-drain " TEMBRA_VERSION); return 0;
        case ':': return usage_error(std::string("missing the value of '") + argv[optind - 1] + "'");
        default: return usage_error(std::string("unknown option '") + argv[optind - 1] + "'");
        }
    }
    if (optind < argc) return usage_error(std::string("unexpected argument '") + argv[optind] + "'");
    return tools::kRun;
}

}  // namespace

int main(int argc, char **argv) {
    Settings settings;
    if (int status = parse_options(argc, argv, settings); status != tools::kRun) return status;

    if (!set_up(settings)) return 1;
    if (settings.follow) return follow(settings);
    return log_write() < 0 ? 1 : 0;
}
