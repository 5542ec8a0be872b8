// tembra-view's command line: levels and ranges of them, types, times, the
// pattern, the output forms and the pager, and the record filter they make.
#include <getopt.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "common/cli.h"
#include "settings.h"

namespace view {

const char kUsage[] =
    "usage: tembra-view [OPTION]... [FILE|DIR]...\n"
    "Shows the records of the day files (default /var/log/Tembra/) in time order.\n"
    "  -p, --priority LEVEL|FROM..TO  LEVEL and every more severe one, or a range;\n"
    "                        most severe first: ALERT, ERROR, WARN, DEBUG, INFO (or 4..0);\n"
    "                        also emerg, panic, crit (ALERT), err, warning, notice (INFO)\n"
    "  -t, --type TYPE       PROGRAM or SERVER\n"
    "  -S, --since WHEN      from WHEN: \"YYYY-MM-DD hh:mm[:ss]\", YYYY-MM-DD, hh:mm[:ss],\n"
    "                        YYYY-MM-DDThh:mm[:ss][Z|+hh:mm], @EPOCH, today, yesterday,\n"
    "                        tomorrow, now, -1h, -1h30min, +2d, -1w, \"3 days ago\"\n"
    "  -U, --until WHEN      up to WHEN, as for --since\n"
    "  -g, --grep REGEX      messages matching REGEX (ignoring case when all lower case)\n"
    "  -n, --lines[=N]       the last N records only (10 without N; \"all\" for all)\n"
    "  -f, --follow          keep printing records as they are written\n"
    "  -r, --reverse         newest first\n"
    "  -o, --output FORMAT   short (the line), short-iso (ISO 8601 times), json (one\n"
    "                        object a line), json-pretty, cat (the message)\n"
    "      --utc             show times, and read -S/-U, in UTC\n"
    "      --no-pager        never page the output\n"
    "  -e, --pager-end       start the pager at the end (and -n 1000 unless -n)\n"
    "  -q, --quiet           no notes about files skipped, damaged or unreadable\n"
    "      --disk-usage      the day files' total size\n"
    "      --header          each day file: size, dates, records per level\n"
    "  -h, --help            show this help\n"
    "      --version         show the version\n"
    "Exit status: 0 when something was shown, 1 when nothing was (or no day file could be\n"
    "read), 2 on a bad argument, 3 when something was shown but a file was skipped or damaged.\n";

namespace {

const char kTool[] = "tembra-view";

// A level by our name or number, or by the system logger's name, as a queue priority.
int level_of(const std::string &text) { return log_level_of(text.c_str()); }

bool set_priority(const std::string &text, Settings &s) {
    size_t dots = text.find("..");
    int from = level_of(text.substr(0, dots));
    int to = dots == std::string::npos ? LOG_PRIORITY_MAX : level_of(text.substr(dots + 2));
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
    s.grep = std::shared_ptr<regex_t>(new regex_t(compiled), [](regex_t *r) {
        regfree(r);
        delete r;
    });
    return true;
}

bool is_count(const char *text) {
    size_t n = text ? strlen(text) : 0;
    if (n == 0 || n > 12) return false;
    for (size_t i = 0; i < n; ++i)
        if (!std::isdigit((unsigned char)text[i])) return false;
    return true;
}

// -n alone is 10; its number may also be the next word ("-n 5").
bool set_lines(const char *arg, int argc, char **argv, Settings &s) {
    if (!arg && optind < argc && (is_count(argv[optind]) || strcmp(argv[optind], "all") == 0)) arg = argv[optind++];
    s.lines_given = true;
    if (!arg) return s.lines = 10, true;
    if (strcmp(arg, "all") == 0) return s.lines = -1, true;
    if (!is_count(arg)) return false;
    s.lines = std::stol(arg);
    return true;
}

bool set_output(const std::string &text, Settings &s) {
    const struct {
        const char *name;
        Output output;
    } forms[] = {{"short", Output::Short},
                 {"short-iso", Output::ShortIso},
                 {"json", Output::Json},
                 {"json-pretty", Output::JsonPretty},
                 {"cat", Output::Cat}};
    for (const auto &f : forms)
        if (text == f.name) return s.output = f.output, true;
    return false;
}

enum { kNoPager = 1000, kVersion, kUtc, kDiskUsage, kHeader };

const option kLongs[] = {{"priority", required_argument, nullptr, 'p'},
                         {"type", required_argument, nullptr, 't'},
                         {"since", required_argument, nullptr, 'S'},
                         {"until", required_argument, nullptr, 'U'},
                         {"grep", required_argument, nullptr, 'g'},
                         {"lines", optional_argument, nullptr, 'n'},
                         {"follow", no_argument, nullptr, 'f'},
                         {"reverse", no_argument, nullptr, 'r'},
                         {"output", required_argument, nullptr, 'o'},
                         {"utc", no_argument, nullptr, kUtc},
                         {"no-pager", no_argument, nullptr, kNoPager},
                         {"pager-end", no_argument, nullptr, 'e'},
                         {"quiet", no_argument, nullptr, 'q'},
                         {"disk-usage", no_argument, nullptr, kDiskUsage},
                         {"header", no_argument, nullptr, kHeader},
                         {"help", no_argument, nullptr, 'h'},
                         {"version", no_argument, nullptr, kVersion},
                         {nullptr, 0, nullptr, 0}};

// One option: "" when it was taken, else why it is bad.
std::string take(int c, const char *optarg_text, int argc, char **argv, Settings &s, std::vector<std::string> &times) {
    std::string arg = optarg_text ? optarg_text : "", why;
    switch (c) {
    case 'p': return set_priority(arg, s) ? "" : "bad priority '" + arg + "'";
    case 't': return set_type(arg, s) ? "" : "bad type '" + arg + "'";
    case 'S': times[0] = arg; return "";
    case 'U': times[1] = arg; return "";
    case 'g': return set_grep(arg, s, why) ? "" : why;
    case 'n': return set_lines(optarg_text, argc, argv, s) ? "" : "bad number of lines '" + arg + "'";
    case 'f': s.follow = true; return "";
    case 'r': s.reverse = true; return "";
    case 'o': return set_output(arg, s) ? "" : "bad output format '" + arg + "'";
    case kUtc: s.utc = true; return "";
    case kNoPager: s.pager = false; return "";
    case 'e': s.pager_end = true; return "";
    case 'q': s.quiet = true; return "";
    case kDiskUsage: s.summary = Summary::DiskUsage; return "";
    case kHeader: s.summary = Summary::Header; return "";
    case ':': return std::string("option '") + argv[optind - 1] + "' needs a value";
    default: return std::string("unknown option '") + argv[optind - 1] + "'";
    }
}

// -S and -U once all options are in: --utc changes how they are read.
std::string set_times(const std::vector<std::string> &times, Settings &s, time_t now) {
    std::string why;
    if (!times[0].empty() && !parse_when(times[0], now, s.utc, s.since, why)) return why;
    if (!times[1].empty() && !parse_when(times[1], now, s.utc, s.until, why)) return why;
    return "";
}

std::string conflicts(const Settings &s) {
    if (s.since > s.until) return "--since is later than --until";
    if (s.follow && s.reverse) return "--follow and --reverse cannot go together";
    if (s.follow && s.summary != Summary::None) return "--follow cannot go with --disk-usage or --header";
    return "";
}

}  // namespace

int parse_options(int argc, char **argv, Settings &s, time_t now) {
    opterr = 0;
    optind = 1;
    std::vector<std::string> times(2);
    for (int c; (c = getopt_long(argc, argv, ":p:t:S:U:g:n::fro:eqh", kLongs, nullptr)) != -1;) {
        if (c == 'h') return std::fputs(kUsage, stdout), 0;
        if (c == kVersion) return std::fputs("tembra-view " TEMBRA_VERSION "\n", stdout), 0;
        std::string why = take(c, optarg, argc, argv, s, times);
        if (!why.empty()) return tools::usage_error(kTool, why, kUsage);
    }
    for (int i = optind; i < argc; ++i) s.paths.push_back(argv[i]);
    std::string why = set_times(times, s, now);
    if (why.empty()) why = conflicts(s);
    if (!why.empty()) return tools::usage_error(kTool, why, kUsage);
    if (s.pager_end && !s.lines_given) s.lines = 1000;
    return tools::kRun;
}

bool wanted(const Settings &s, const dayfile::Record &r, time_t time) {
    if (!r.framed && (s.by_priority || !s.type.empty())) return false;
    if (r.framed && (r.priority < s.min_priority || r.priority > s.max_priority)) return false;
    if (!s.type.empty() && r.type != s.type) return false;
    if (time < s.since || time > s.until) return false;
    if (s.grep) {
        // The whole message, NUL bytes and all.
        std::string_view text = r.framed ? r.message : r.raw;
        regmatch_t span[1] = {{0, (regoff_t)text.size()}};
        if (regexec(s.grep.get(), text.data(), 1, span, REG_STARTEND) != 0) return false;
    }
    return true;
}

}  // namespace view
