// tembra-view's command line: levels and ranges of them, types, times
// absolute and relative, the pattern, and the record filter they make.
#include <getopt.h>
#include <strings.h>

#include <cctype>
#include <cstring>

#include "settings.h"

#include "common/clock.h"

namespace view {

const char kUsage[] =
    "usage: tembra-view [OPTION]... [FILE|DIR]...\n"
    "Shows the records of the day files (default /var/log/Tembra/) in time order.\n"
    "  -p, --priority LEVEL|FROM..TO  LEVEL and every more severe one, or a range;\n"
    "                        most severe first: ALERT, ERROR, WARN, DEBUG, INFO (or 4..0)\n"
    "  -t, --type TYPE       PROGRAM or SERVER\n"
    "  -S, --since WHEN      from WHEN: \"YYYY-MM-DD hh:mm:ss\", YYYY-MM-DD, today,\n"
    "                        yesterday, now, -1h, -30min, -2d, -10s\n"
    "  -U, --until WHEN      up to WHEN, as for --since\n"
    "  -g, --grep REGEX      messages matching REGEX (ignoring case when all lower case)\n"
    "  -n, --lines N         the last N records only\n"
    "  -f, --follow          keep printing records as they are written\n"
    "  -r, --reverse         newest first\n"
    "  -o, --output FORMAT   short (the line), json (one object a line), cat (the message)\n"
    "      --no-pager        never page the output\n"
    "  -h, --help            show this help\n"
    "      --version         show the version\n"
    "Exit status: 0 when something was shown, 1 when nothing matched, 2 on a bad argument.\n";

namespace {

// A level by name (any case) or 0-4, as its queue priority; -1 otherwise.
int level_of(const std::string &text) { return dayfile::priority_of(text); }

bool set_priority(const std::string &text, Settings &s) {
    size_t dots = text.find("..");
    if (dots == std::string::npos) {
        s.min_priority = level_of(text);
        s.max_priority = LOG_PRIORITY_MAX;
        s.by_priority = true;
        return s.min_priority >= 0;
    }
    int from = level_of(text.substr(0, dots)), to = level_of(text.substr(dots + 2));
    if (from < 0 || to < 0) return false;
    s.min_priority = std::min(from, to);
    s.max_priority = std::max(from, to);
    s.by_priority = true;
    return true;
}

bool set_type(const std::string &text, Settings &s) {
    int type = log_type_of(text.c_str());
    if (type >= 0) s.type = LogTypeText[type];
    return type >= 0;
}


bool set_grep(const std::string &pattern, Settings &s, std::string &why) {
    bool lower = true;
    for (unsigned char c : pattern) lower &= !std::isupper(c);
    regex_t compiled;
    int rc = regcomp(&compiled, pattern.c_str(), REG_EXTENDED | REG_NOSUB | (lower ? REG_ICASE : 0));
    if (rc != 0) {
        char text[256];
        regerror(rc, &compiled, text, sizeof text);
        why = "bad pattern '" + pattern + "': " + text;
        return false;
    }
    auto re = std::shared_ptr<regex_t>(new regex_t(compiled), [](regex_t *r) {
        regfree(r);
        delete r;
    });
    s.grep = re;
    return true;
}

bool set_lines(const std::string &text, Settings &s) {
    if (text.empty() || text.size() > 12) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    s.lines = std::stol(text);
    return true;
}

}  // namespace

time_t parse_when(const std::string &text, time_t now) {
    if (text == "now") return now;
    if (text == "today") return tools::local_midnight(now, 0);
    if (text == "yesterday") return tools::local_midnight(now, -1);
    if (text == "tomorrow") return tools::local_midnight(now, 1);
    if (text.size() == 19) return dayfile::local_time(text);
    if (text.size() == 10) return dayfile::local_time(text + " 00:00:00");
    if (text.size() < 3 || text[0] != '-' || !std::isdigit((unsigned char)text[1])) return -1;
    size_t unit = 1;
    while (unit < text.size() && std::isdigit((unsigned char)text[unit])) ++unit;
    if (unit > 10) return -1;
    long amount = std::stol(text.substr(1, unit - 1));
    const struct {
        const char *names[4];
        long seconds;
    } units[] = {{{"s", "sec", "second", "seconds"}, 1},
                 {{"min", "minute", "minutes", "m"}, 60},
                 {{"h", "hour", "hours", "hr"}, 3600},
                 {{"d", "day", "days", "dy"}, 86400}};
    std::string name = text.substr(unit);
    for (const auto &u : units)
        for (const char *n : u.names)
            if (name == n) return now - amount * u.seconds;
    return -1;
}

std::string parse_settings(int argc, char **argv, Settings &s, time_t now) {
    enum { kNoPager = 1000, kVersion };
    const option longs[] = {{"priority", required_argument, nullptr, 'p'},
                            {"type", required_argument, nullptr, 't'},
                            {"since", required_argument, nullptr, 'S'},
                            {"until", required_argument, nullptr, 'U'},
                            {"grep", required_argument, nullptr, 'g'},
                            {"lines", required_argument, nullptr, 'n'},
                            {"follow", no_argument, nullptr, 'f'},
                            {"reverse", no_argument, nullptr, 'r'},
                            {"output", required_argument, nullptr, 'o'},
                            {"no-pager", no_argument, nullptr, kNoPager},
                            {"help", no_argument, nullptr, 'h'},
                            {"version", no_argument, nullptr, kVersion},
                            {nullptr, 0, nullptr, 0}};
    opterr = 0;
    optind = 1;
    int c;
    std::string why;
    while ((c = getopt_long(argc, argv, ":p:t:S:U:g:n:fro:h", longs, nullptr)) != -1) {
        std::string arg = optarg ? optarg : "";
        switch (c) {
        case 'p':
            if (!set_priority(arg, s)) return "bad priority '" + arg + "'";
            break;
        case 't':
            if (!set_type(arg, s)) return "bad type '" + arg + "'";
            break;
        case 'S':
        case 'U': {
            time_t t = parse_when(arg, now);
            if (t == -1) return "bad time '" + arg + "'";
            (c == 'S' ? s.since : s.until) = t;
            break;
        }
        case 'g':
            if (!set_grep(arg, s, why)) return why;
            break;
        case 'n':
            if (!set_lines(arg, s)) return "bad number of lines '" + arg + "'";
            break;
        case 'f': s.follow = true; break;
        case 'r': s.reverse = true; break;
        case 'o':
            if (arg == "short") s.output = Output::Short;
            else if (arg == "json") s.output = Output::Json;
            else if (arg == "cat") s.output = Output::Cat;
            else return "bad output format '" + arg + "'";
            break;
        case kNoPager: s.pager = false; break;
        case 'h': return "help";
        case kVersion: return "version";
        case ':': return std::string("option '") + argv[optind - 1] + "' needs a value";
        default: return std::string("unknown option '") + argv[optind - 1] + "'";
        }
    }
    for (int i = optind; i < argc; ++i) s.paths.push_back(argv[i]);
    if (s.since > s.until) return "--since is later than --until";
    if (s.follow && s.reverse) return "--follow and --reverse cannot go together";
    return "";
}

bool wanted(const Settings &s, const dayfile::Record &r, time_t time) {
    if (!r.framed && (s.by_priority || !s.type.empty())) return false;
    if (r.framed && (r.priority < s.min_priority || r.priority > s.max_priority)) return false;
    if (!s.type.empty() && r.type != s.type) return false;
    if (time < s.since || time > s.until) return false;
    if (s.grep) {
        std::string text(r.framed ? r.message : r.raw);
        if (regexec(s.grep.get(), text.c_str(), 0, nullptr, 0) != 0) return false;
    }
    return true;
}

}  // namespace view
