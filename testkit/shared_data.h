// What several test files build or run alike: lines split off a text, numbered
// lines on the queue, a drain left running, the demo's two lines, day files
// written by hand.
#pragma once

#include <mqueue.h>
#include <signal.h>
#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "sandbox.h"
#include "testbed.h"

namespace bed {

// The lines of text, each with its newline.
inline std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start + 1));
    return lines;
}

// A tembra-drain --follow left running; killed if a failed assertion leaves the test early.
struct RunningDrain {
    Background drain;
    explicit RunningDrain(const std::vector<std::string> &env = {})
        : drain(start({"tembra-drain", "--follow"}, env)) {}
    ~RunningDrain() {
        if (drain.pid > 0) finish(drain, SIGKILL);
    }
    Output stop(int signal) { return finish(drain, signal); }
};

// Line k of a numbered set: 70 bytes, its level in the text, so that a line put
// back on the queue can be checked against its own priority. A batch (1,120
// bytes) does not divide a page, so a full disk cuts a write short.
inline std::string numbered(int k) {
    char text[80];
    std::snprintf(text, sizeof text, "[L%d] numbered line %03d %-46s\n", k % 5, k, "");
    return text;
}

// Posts count numbered lines at priority = level into a queue deep enough.
inline void post_numbered(int count) {
    mqd_t q = sandbox_create_queue(count, 128);
    ASSERT_NE(q, (mqd_t)-1) << "cannot create a queue of " << count << " lines";
    for (int k = 0; k < count; ++k) ASSERT_EQ(mq_send(q, numbered(k).data(), numbered(k).size(), (unsigned)(k % 5)), 0);
    mq_close(q);
}

// Every line of the file is one of the numbered lines, and none twice.
inline std::set<std::string> checked_lines(const std::string &file) {
    std::set<std::string> seen;
    EXPECT_TRUE(file.empty() || file.back() == '\n') << "the file ends in a torn line";
    for (const std::string &line : lines_of(file)) {
        EXPECT_TRUE(matches(line, "\\[L[0-4]\\] numbered line [0-9]{3} +\n")) << "torn: " << line;
        EXPECT_TRUE(seen.insert(line).second) << "twice: " << line;
    }
    return seen;
}

// Splits the demo's standard output into its two lines, checking the empty lines.
inline std::pair<std::string, std::string> demo_lines(const Output &demo) {
    const std::string debug = line_pattern("DEBUG", "SERVER", "yes i succeed!");
    const std::string info = line_pattern("INFO", "PROGRAM", "world!");
    EXPECT_TRUE(matches(demo.out, debug + "\n" + info + "\n")) << demo.out;
    if (demo.out.size() != 53 + 1 + 45 + 1) return {"", ""};
    return {demo.out.substr(0, 53), demo.out.substr(54, 45)};
}

// Day files written by hand: bytes as they stand, or gzip-compressed.
inline void write_bytes(const std::string &path, const std::string &bytes, bool append = false) {
    std::ofstream(path, append ? std::ios::binary | std::ios::app : std::ios::binary) << bytes;
}

inline void write_gz(const std::string &path, const std::string &bytes) {
    gzFile gz = gzopen(path.c_str(), "wb");
    gzwrite(gz, bytes.data(), (unsigned)bytes.size());
    gzclose(gz);
}

// One record's text as a drain writes it.
inline std::string record(const char *level, const char *stamp, const std::string &message,
                          const char *type = "PROGRAM") {
    std::string text = "[";
    for (const std::string &part : {std::string(level), std::string("] "), std::string(stamp), std::string(" "),
                                    message, std::string(" ("), std::string(type), std::string(") \n")})
        text += part;
    return text;
}

}  // namespace bed
