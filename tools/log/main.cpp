// tembra-log: posts records from the shell, from its arguments or one per
// line of a file or standard input. The message is always data, never a format.
#include <errno.h>
#include <getopt.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/cli.h"
#include "common/clock.h"
#include "common/queue_owner.h"
#include "logger/line_format.h"
#include "logger/logger.h"

namespace {

const char kUsage[] =
    "usage: tembra-log [-es] [-l LEVEL] [-t TYPE] [-w MS] [-f FILE | MESSAGE...]\n"
    "  Posts MESSAGE, or each line of FILE or of standard input, to the queue /mqd;\n"
    "  prints nothing when every record was posted, and exits 1 when one was lost.\n"
    "  -l, --level=LEVEL  INFO, DEBUG, WARN, ERROR, ALERT (any case) or 0-4; also emerg,\n"
    "                     crit (ALERT), err (ERROR), warning (WARN), notice (INFO); default INFO\n"
    "  -t, --type=TYPE    the kind of component, not a tag: PROGRAM, SERVER or 0-1;\n"
    "                     default PROGRAM\n"
    "  -f, --file=FILE    log each line of FILE (- for standard input)\n"
    "  -e, --skip-empty   do not log the empty lines of FILE or standard input\n"
    "  -s, --stderr       also write each record's line, and an empty line, to standard\n"
    "                     error before posting it\n"
    "  -w, --wait=MS      wait for room in a full queue, at most MS milliseconds in all\n"
    "                     (default 10000; 0 never waits)\n"
    "  -h, --help         show this help\n"
    "  -V, --version      show the version\n";

struct Settings {
    int level = LogInfo;         // level of every record, also its queue priority
    int type = LogProgram;       // kind of component that logs
    const char *file = nullptr;  // log the lines of this file; null or "-": standard input
    bool skip_empty = false;     // leave out empty input lines
    bool to_stderr = false;      // each record's line to standard error before it is posted
    long wait_ms = 10000;        // the most this run waits for room, in all
    bool have_message = false;   // words were given: log them as one record
    std::string message;         // the words, joined by blanks
};

int usage_error(const std::string &why) { return tools::usage_error("tembra-log", why, kUsage); }

enum { kTag = 256 };

// Milliseconds, 0 or more; -1 when text is not such a number.
long parse_wait(const char *text) {
    char *end = nullptr;
    errno = 0;
    long ms = std::strtol(text, &end, 10);
    return *text >= '0' && *text <= '9' && *end == '\0' && errno == 0 ? ms : -1;
}

// Posts one record, waiting for room no longer than what is left of the
// run's wait; the time spent in posting counts, not the time reading input.
void post(Settings &settings, const char *message) {
    Log_SetWait(settings.wait_ms);
    long start = (long)tools::monotonic_ms();
    Log_Send(settings.level, settings.type, "%s", message);
    settings.wait_ms -= std::min((long)tools::monotonic_ms() - start, settings.wait_ms);
}

// Fills settings; tools::kRun to go on, else the exit status.
int parse_options(int argc, char **argv, Settings &settings) {
    static const option kOptions[] = {
        {"level", required_argument, nullptr, 'l'}, {"type", required_argument, nullptr, 't'},
        {"file", required_argument, nullptr, 'f'},  {"skip-empty", no_argument, nullptr, 'e'},
        {"help", no_argument, nullptr, 'h'},        {"version", no_argument, nullptr, 'V'},
        {"stderr", no_argument, nullptr, 's'},      {"wait", required_argument, nullptr, 'w'},
        {"tag", required_argument, nullptr, kTag},  {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, ":l:t:f:esw:hV", kOptions, nullptr)) != -1;) {
        switch (c) {
        case 'l':
            settings.level = log_level_of(optarg);
            if (settings.level < 0) return usage_error(std::string("bad level '") + optarg + "'");
            break;
        case 't':
            settings.type = log_type_of(optarg);
            if (settings.type < 0)
                return usage_error(std::string("bad type '") + optarg +
                                   "': -t is the kind of component (PROGRAM or SERVER), not a tag");
            break;
        case 'f': settings.file = optarg; break;
        case 'e': settings.skip_empty = true; break;
        case 's': settings.to_stderr = true; break;
        case 'w':
            settings.wait_ms = parse_wait(optarg);
            if (settings.wait_ms < 0)
                return usage_error(std::string("--wait takes milliseconds, 0 or more, not '") + optarg + "'");
            break;
        case 'h': std::fputs(kUsage, stdout); return 0;
        case 'V': std::puts("tembra-log " TEMBRA_VERSION); return 0;
        case kTag: return usage_error("there is no --tag: -t, --type is the kind of component");
        case ':': return usage_error(std::string("option '") + argv[optind - 1] + "' needs a value");
        default: return usage_error(std::string("unknown or ambiguous option '") + argv[optind - 1] + "'");
        }
    }
    for (int i = optind; i < argc; ++i) {
        if (settings.have_message) settings.message.push_back(' ');
        settings.message.append(argv[i]);
        settings.have_message = true;
    }
    if (settings.have_message && settings.file != nullptr)
        return usage_error("give -f FILE or a MESSAGE, not both");
    return tools::kRun;
}

// Posts each line of input; false when reading failed (reported).
bool post_lines(FILE *input, Settings &settings) {
    char *line = nullptr;
    size_t capacity = 0;
    for (ssize_t n; (n = getline(&line, &capacity, input)) >= 0;) {
        if (n > 0 && line[n - 1] == '\n') line[--n] = '\0';
        if (n == 0 && settings.skip_empty) continue;
        post(settings, line);
    }
    std::free(line);
    if (!std::ferror(input)) return true;
    std::fprintf(stderr, "tembra-log: %s: %s\n", settings.file ? settings.file : "stdin", strerror(errno));
    return false;
}

}  // namespace

int main(int argc, char **argv) {
    Settings settings;
    if (int status = parse_options(argc, argv, settings); status != tools::kRun) return status;
    FILE *input = stdin;
    if (settings.file != nullptr && std::strcmp(settings.file, "-") != 0) {
        input = std::fopen(settings.file, "r");
        if (input == nullptr) {
            std::fprintf(stderr, "tembra-log: %s: %s\n", settings.file, strerror(errno));
            return 1;
        }
    }

    Log_SetPostOnly(1);
    // Quiet: the line goes only to the queue, or with -s to stderr, the line
    // being echoed to a stdout that is stderr, a line at a time so that a
    // report of a failed post follows the line it concerns.
    Log_SetTrace(0);
    Log_SetEcho(settings.to_stderr);
    if (settings.to_stderr) {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
    }
    Log_Init();
    if (mqd == (mqd_t)-1) {
        report_queue_owner("tembra-log");
        return 1;
    }
    if (settings.have_message)
        post(settings, settings.message.c_str());
    else if (!post_lines(input, settings))
        return 1;
    return Log_Lost() != 0;  // 1 when any record was lost
}
