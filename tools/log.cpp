// tembra-log: posts records from the shell, from its arguments or one per
// line of standard input. The message is always data, never a format.
#include <strings.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "logger/logger.h"

namespace {

const char kUsage[] =
    "usage: tembra-log [-l LEVEL] [-t TYPE] [MESSAGE...]\n"
    "  Posts MESSAGE, or each line of standard input, to the queue /mqd.\n"
    "  -l, --level LEVEL  INFO, DEBUG, WARN, ERROR, ALERT (any case) or 0-4; default INFO\n"
    "  -t, --type TYPE    PROGRAM, SERVER (any case) or 0-1; default PROGRAM\n"
    "  --help             show this help\n"
    "  --version          show the version\n";

const char *const kLevels[] = {"INFO", "DEBUG", "WARN", "ERROR", "ALERT"};
const char *const kTypes[] = {"PROGRAM", "SERVER"};

// The index of a name or a single digit within the table, or -1.
int parse(const std::string &word, const char *const *names, int count) {
    if (word.size() == 1 && word[0] >= '0' && word[0] < '0' + count) return word[0] - '0';
    for (int i = 0; i < count; ++i)
        if (strcasecmp(word.c_str(), names[i]) == 0) return i;
    return -1;
}

int usage_error(const std::string &why) {
    std::cerr << "tembra-log: " << why << "\n" << kUsage;
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    int level = LogInfo, type = LogProgram;
    std::string message;
    bool have_message = false;
    auto add_word = [&](const char *word) {
        if (have_message) message.push_back(' ');
        message.append(word);
        have_message = true;
    };
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::puts("tembra-log " TEMBRA_VERSION);
            return 0;
        }
        bool is_level = arg == "-l" || arg == "--level", is_type = arg == "-t" || arg == "--type";
        if (is_level || is_type) {
            if (i + 1 >= argc) return usage_error("option '" + arg + "' needs a value");
            std::string value = argv[++i];
            int parsed = is_level ? parse(value, kLevels, 5) : parse(value, kTypes, 2);
            if (parsed < 0) return usage_error(std::string(is_level ? "bad level '" : "bad type '") + value + "'");
            (is_level ? level : type) = parsed;
        } else if (arg == "--") {
            while (++i < argc) add_word(argv[i]);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usage_error("unknown option '" + arg + "'");
        } else {
            add_word(argv[i]);
        }
    }

    Log_Init();
    if (mqd == (mqd_t)-1) return 1;
    if (have_message) {
        Log_Send(level, type, "%s", message.c_str());
        return Log_Lost() != 0;
    }
    std::cin.tie(nullptr);  // no flush of stdout before each line read
    for (std::string line; std::getline(std::cin, line);) Log_Send(level, type, "%s", line.c_str());
    return Log_Lost() != 0;  // 1 when any record was lost
}
