// Medians with their range, for the load test and the fault run.
#include "run.h"

#include <algorithm>
#include <cstdio>

namespace run {

double median(std::vector<double> figures) {
    if (figures.empty()) return 0;
    std::sort(figures.begin(), figures.end());
    size_t n = figures.size();
    return n % 2 ? figures[n / 2] : (figures[n / 2 - 1] + figures[n / 2]) / 2;
}

std::string spread(std::vector<double> figures, const char *format) {
    if (figures.empty()) return "-";
    auto [low, high] = std::minmax_element(figures.begin(), figures.end());
    char one[3][64];
    snprintf(one[0], sizeof one[0], format, median(figures));
    snprintf(one[1], sizeof one[1], format, *low);
    snprintf(one[2], sizeof one[2], format, *high);
    return std::string(one[0]) + " (" + one[1] + "-" + one[2] + ")";
}

}  // namespace run
