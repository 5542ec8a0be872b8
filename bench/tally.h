// Accounting for numbered lines "n<k>": whole in a file, in another file,
// back in the queue, lost, torn or duplicated.
#pragma once

#include <string>
#include <vector>

// What became of the numbered lines n0..n(posted-1).
struct Count {
    long posted = 0, written = 0, queued = 0, lost = 0, torn = 0, duplicated = 0, astray = 0;
    Count &operator+=(const Count &c) {
        posted += c.posted, written += c.written, queued += c.queued, lost += c.lost;
        torn += c.torn, duplicated += c.duplicated, astray += c.astray;
        return *this;
    }
};

// Accounts for n0..n(posted-1): in the right file, in another file, in the
// queue (taken off "/mqd" now), or nowhere.
Count tally(long posted, const std::vector<std::string> &right, const std::vector<std::string> &astray = {});

// How many of n0..n(posted-1) the texts hold whole.
long written_now(long posted, const std::vector<std::string> &texts);
