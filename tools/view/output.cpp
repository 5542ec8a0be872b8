// Printing records: the formats, colours, times in local time or UTC, and
// paging long output through less -R or $PAGER.
#include "output.h"

#include <errno.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "common/clock.h"

namespace view {

namespace {

const char *colour_of(int priority) {
    switch (priority) {
    case 4: return "\x1b[1;31m";  // ALERT: bold red
    case 3: return "\x1b[31m";    // ERROR: red
    case 2: return "\x1b[33m";    // WARN: yellow
    case 1: return "\x1b[2m";     // DEBUG: dim
    default: return "";
    }
}

std::string json_string(std::string_view text) {
    std::string out = "\"";
    append_json(out, text);
    return out + "\"";
}

using Fields = std::vector<std::pair<const char *, std::string>>;

Fields json_fields(const dayfile::Record &r, time_t time, const std::string &file, bool utc) {
    if (!r.framed)
        return {{"record", "false"},
                {"line", json_string(r.raw.ends_with('\n') ? r.raw.substr(0, r.raw.size() - 1) : r.raw)},
                {"file", json_string(file)}};
    return {{"record", "true"},
            {"level", json_string(r.level)},
            {"priority", std::to_string(r.priority)},
            {"time", json_string(tools::rfc3339(time, utc))},
            {"type", json_string(r.type)},
            {"message", json_string(r.message)},
            {"file", json_string(file)}};
}

void append_json_object(std::string &out, const Fields &fields, bool pretty) {
    out += pretty ? "{\n" : "{";
    for (size_t i = 0; i < fields.size(); ++i) {
        if (pretty) out += "\t";
        out.append("\"").append(fields[i].first).append(pretty ? "\" : " : "\":").append(fields[i].second);
        if (i + 1 < fields.size()) out += ',';
        if (pretty) out += '\n';
    }
    out += "}\n";
}

// The stamp as it is shown: as written, in UTC, or in ISO 8601.
std::string shown_stamp(const dayfile::Record &r, time_t time, const Style &style) {
    if (style.output == Output::ShortIso) return tools::rfc3339(time, style.utc);
    if (!style.utc) return std::string(r.stamp);
    tm broken;
    gmtime_r(&time, &broken);
    char text[LOG_TIME_SIZE];
    strftime(text, sizeof text, LOG_TIME_LAYOUT, &broken);
    return text;
}

void append_line(std::string &out, const Style &style, const dayfile::Record &r, time_t time) {
    const char *paint = style.colour ? colour_of(r.priority) : "";
    size_t tag = r.level.size() + 2;
    if (*paint) out += paint;
    out.append(r.raw.data(), tag);
    if (*paint) out += "\x1b[0m";
    out += ' ';
    out += shown_stamp(r, time, style);
    // The rest as written, without the blank before its newline.
    size_t rest = tag + 1 + r.stamp.size();
    append_escaped(out, r.raw.substr(rest, r.raw.size() - 2 - rest));
    out += '\n';
}

}  // namespace

void format(std::string &out, const Style &style, const dayfile::Record &r, time_t time, const std::string &file) {
    if (style.output == Output::Json || style.output == Output::JsonPretty) {
        append_json_object(out, json_fields(r, time, file, style.utc), style.output == Output::JsonPretty);
    } else if (!r.framed) {
        append_escaped(out, r.raw);
        if (!r.raw.ends_with('\n')) out += '\n';
    } else if (style.output == Output::Cat) {
        append_escaped(out, r.message);
        out += '\n';
    } else {
        append_line(out, style, r, time);
    }
}

namespace {

// Whether the program a shell command starts with can be run.
bool runnable(const std::string &command) {
    std::string program = command.substr(0, command.find_first_of(" \t"));
    if (program.find('/') != std::string::npos) return access(program.c_str(), X_OK) == 0;
    const char *path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (size_t at = 0, end; at <= dirs.size(); at = end + 1) {
        end = dirs.find(':', at);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = end > at ? dirs.substr(at, end - at) : ".";
        if (access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    }
    return false;
}

bool is_less(const std::string &command) {
    std::string program = command.substr(0, command.find_first_of(" \t"));
    size_t slash = program.rfind('/');
    return program.substr(slash == std::string::npos ? 0 : slash + 1) == "less";
}

}  // namespace

Pager choose_pager(bool at_end) {
    const char *asked = getenv("PAGER");
    std::string command = asked ? asked : "less";
    if (command.find_first_not_of(" \t") == std::string::npos || command == "cat") return {};
    if (!runnable(command)) return {"", false, command.substr(0, command.find_first_of(" \t"))};
    // less shows colours with -R (given through LESS, whatever the command
    // line says); another pager may show the codes as text, so it gets none.
    bool less = is_less(command);
    if (less && at_end) command += " +G";
    return {command, less, ""};
}

Sink::Sink(bool page, Pager pager) : page_(page && !pager.command.empty()), pager_(std::move(pager)) {
    winsize size{};
    if (page_ && ioctl(1, TIOCGWINSZ, &size) == 0 && size.ws_row > 0) {
        rows_ = size.ws_row;
        cols_ = size.ws_col > 0 ? size.ws_col : 80;
    } else {
        page_ = false;
    }
    signal(SIGPIPE, SIG_IGN);
}

Sink::~Sink() { close(); }

bool Sink::start_pager() {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return false;
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        dup2(pipe_fds[0], 0);
        ::close(pipe_fds[0]);
        ::close(pipe_fds[1]);
        if (pager_.colours) {
            const char *less = getenv("LESS");
            setenv("LESS", (std::string(less ? less : "") + " -R").c_str(), 1);
        }
        execl("/bin/sh", "sh", "-c", pager_.command.c_str(), (char *)nullptr);
        _exit(127);
    }
    ::close(pipe_fds[0]);
    fd_ = pipe_fds[1];
    pid_ = pid;
    return true;
}

bool Sink::write(std::string_view text) {
    if (gone_) return false;
    if (page_) {
        // Count the rows the text takes on the screen until it outgrows it.
        for (size_t at = 0, nl; at < text.size() && used_ <= rows_; at = nl + 1) {
            nl = text.find('\n', at);
            if (nl == std::string_view::npos) nl = text.size();
            used_ += 1 + (long)(nl - at) / cols_;
        }
        held_.append(text);
        if (used_ <= rows_ - 1) return true;
        page_ = false;
        start_pager();
        return flush();
    }
    held_.append(text);
    return held_.size() < 65536 || flush();
}

bool Sink::flush() {
    if (page_) return true;
    size_t done = 0;
    while (done < held_.size()) {
        ssize_t n = ::write(fd_, held_.data() + done, held_.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            gone_ = true;
            held_.clear();
            return false;
        }
        done += (size_t)n;
    }
    held_.clear();
    return true;
}

void Sink::close() {
    page_ = false;
    flush();
    if (pid_ > 0) {
        ::close(fd_);
        fd_ = 1;
        int status;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }
}

}  // namespace view
