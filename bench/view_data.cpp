// Writes day files for tembra-view's benchmark: lines composed by the logger
// itself under a stepped clock, each drain batch written highest level first.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "fake_clock.h"
#include "fill.h"
#include "logger/logger.h"

namespace {

struct Line {
    int level;
    std::string text;
};

// One day's file of about bytes bytes, starting at local midnight of day.
void write_day(const std::string &path, time_t day, long long bytes, std::mt19937 &random) {
    std::FILE *out = std::fopen(path.c_str(), "w");
    if (!out) {
        std::perror(path.c_str());
        std::exit(1);
    }
    const char *const words[] = {"alpha", "bravo", "charlie", "delta", "echo", "foxtrot"};
    std::discrete_distribution<int> level({50, 20, 15, 10, 5});  // INFO DEBUG WARN ERROR ALERT
    std::uniform_int_distribution<int> batch_size(1, 400), word(0, 5), number(0, 99999);
    time_t now = day;
    long long written = 0;
    std::vector<Line> batch;
    while (written < bytes) {
        batch.clear();
        int n = batch_size(random);
        for (int i = 0; i < n; ++i) {
            if (i % 50 == 0) fake_clock::now = now++;
            int l = level(random);
            int k = number(random);
            // One record in a hundred holds a newline, as callers' messages may.
            size_t len = k % 100 == 0 ? fill_line(l, k & 1, "request %d from %s\nfailed after %d ms", k,
                                                  words[word(random)], k % 977)
                                      : fill_line(l, k & 1, "request %d from %s took %d ms", k,
                                                  words[word(random)], k % 977);
            batch.push_back({l, std::string(LogLine, len)});
        }
        // The queue hands out the highest level first, each level in posting order.
        std::stable_sort(batch.begin(), batch.end(), [](const Line &a, const Line &b) { return a.level > b.level; });
        for (const Line &line : batch) {
            std::fwrite(line.text.data(), 1, line.text.size(), out);
            written += (long long)line.text.size();
        }
    }
    std::fclose(out);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: view_data DIR MEGABYTES_PER_FILE FILES\n");
        return 2;
    }
    std::string dir = argv[1];
    long long bytes = (long long)(std::atof(argv[2]) * 1024 * 1024);
    int files = std::atoi(argv[3]);
    std::mt19937 random(12345);
    tm first{};
    first.tm_year = 2026 - 1900;
    first.tm_mon = 10;
    first.tm_mday = 1;
    first.tm_isdst = -1;
    for (int i = 0; i < files; ++i) {
        tm local = first;
        local.tm_mday += i;
        time_t day = mktime(&local);
        localtime_r(&day, &local);
        char name[64];
        std::strftime(name, sizeof name, "/tembra-%Y%m%d.log", &local);
        write_day(dir + name, day, bytes, random);
    }
    return 0;
}
