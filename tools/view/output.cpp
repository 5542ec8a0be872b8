// Printing records: the three formats, colours, escaping of control bytes,
// JSON strings, and paging long output through less -R or $PAGER.
#include "output.h"

#include "common/clock.h"

#include <errno.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace view {

namespace {

bool is_control(unsigned char c) { return (c < 0x20 && c != '\n' && c != '\t') || c == 0x7f; }

void append_hex(std::string &out, const char *prefix, unsigned char c) {
    static const char digits[] = "0123456789abcdef";
    out += prefix;
    out += digits[c >> 4];
    out += digits[c & 15];
}

const char *colour_of(int priority) {
    switch (priority) {
    case 4: return "\x1b[1;31m";  // ALERT: bold red
    case 3: return "\x1b[31m";    // ERROR: red
    case 2: return "\x1b[33m";    // WARN: yellow
    case 1: return "\x1b[2m";     // DEBUG: dim
    default: return "";
    }
}

// Length of the valid UTF-8 sequence at the start of text, or 0.
size_t utf8_length(std::string_view text) {
    unsigned char c = (unsigned char)text[0];
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || n > text.size()) return 0;
    for (size_t i = 1; i < n; ++i)
        if (((unsigned char)text[i] >> 6) != 2) return 0;
    unsigned char d = n > 1 ? (unsigned char)text[1] : 0;
    if ((n == 2 && c < 0xc2) || (n == 3 && c == 0xe0 && d < 0xa0) || (n == 3 && c == 0xed && d >= 0xa0) ||
        (n == 4 && c == 0xf0 && d < 0x90) || (n == 4 && (c > 0xf4 || (c == 0xf4 && d >= 0x90))))
        return 0;
    return n;
}

}  // namespace

void append_escaped(std::string &out, std::string_view text) {
    size_t run = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = (unsigned char)text[i];
        if (!is_control(c)) continue;
        out.append(text.data() + run, i - run);
        append_hex(out, "\\x", c);
        run = i + 1;
    }
    out.append(text.data() + run, text.size() - run);
}

// Bytes that are not UTF-8 are written as the code points U+0080-U+00FF.
void append_json(std::string &out, std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        unsigned char c = (unsigned char)text[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            append_hex(out, "\\u00", c);
        } else if (c >= 0x80) {
            size_t n = utf8_length(text.substr(i));
            if (n == 0) {
                append_hex(out, "\\u00", c);
                ++i;
                continue;
            }
            out.append(text.data() + i, n);
            i += n;
            continue;
        } else {
            out += (char)c;
        }
        ++i;
    }
}

void format(std::string &out, Output output, bool colour, const dayfile::Record &r, time_t time,
            const std::string &file) {
    if (output == Output::Json) {
        if (r.framed) {
            out += "{\"record\":true,\"level\":\"";
            append_json(out, r.level);
            out += "\",\"priority\":" + std::to_string(r.priority) + ",\"time\":\"" + tools::rfc3339(time) +
                   "\",\"type\":\"";
            append_json(out, r.type);
            out += "\",\"message\":\"";
            append_json(out, r.message);
        } else {
            out += "{\"record\":false,\"line\":\"";
            append_json(out, r.raw.ends_with('\n') ? r.raw.substr(0, r.raw.size() - 1) : r.raw);
        }
        out += "\",\"file\":\"";
        append_json(out, file);
        out += "\"}\n";
        return;
    }
    if (!r.framed) {
        append_escaped(out, r.raw);
        if (!r.raw.ends_with('\n')) out += '\n';
        return;
    }
    if (output == Output::Cat) {
        append_escaped(out, r.message);
        out += '\n';
        return;
    }
    // The line as written, without the blank before its newline.
    std::string_view line = r.raw.substr(0, r.raw.size() - 2);
    const char *paint = colour ? colour_of(r.priority) : "";
    if (*paint) {
        size_t tag = r.level.size() + 2;
        out += paint;
        out.append(line.data(), tag);
        out += "\x1b[0m";
        line.remove_prefix(tag);
    }
    append_escaped(out, line);
    out += '\n';
}

Sink::Sink(bool page) : page_(page) {
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
    const char *pager = getenv("PAGER");
    if (pager && (!*pager || strcmp(pager, "cat") == 0)) return true;
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return false;
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        dup2(pipe_fds[0], 0);
        ::close(pipe_fds[0]);
        ::close(pipe_fds[1]);
        if (pager) execl("/bin/sh", "sh", "-c", pager, (char *)nullptr);
        else execlp("less", "less", "-R", (char *)nullptr);
        _exit(127);
    }
    ::close(pipe_fds[0]);
    fd_ = pipe_fds[1];
    pager_ = pid;
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
    if (pager_ > 0) {
        ::close(fd_);
        fd_ = 1;
        int status;
        waitpid(pager_, &status, 0);
        pager_ = -1;
    }
}

}  // namespace view
