// Counting numbered lines in files and in the queue, for the fault run.
// A line that does not parse whole is torn.
#include "tally.h"

#include <fcntl.h>
#include <mqueue.h>

#include <algorithm>
#include <regex>

namespace {

// The number of a whole line "[LEVEL] date time n<k> (TYPE) ", or -1.
long number_of(const std::string &line) {
    static const std::regex shape(
        R"(\[(INFO|DEBUG|WARN|ERROR|ALERT)\] \d{4}-\d\d-\d\d \d\d:\d\d:\d\d n(\d+) \((PROGRAM|SERVER)\) )");
    std::smatch m;
    return std::regex_match(line, m, shape) ? std::stol(m[2]) : -1;
}

// Whole lines of a file's text; a line cut short or garbled counts as torn.
void scan(const std::string &text, long posted, std::vector<int> &seen, long &torn) {
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            ++torn;  // the file ends inside a line
            break;
        }
        long n = number_of(text.substr(at, end - at));
        if (n < 0 || n >= posted) ++torn;
        else ++seen[n];
        at = end + 1;
    }
}

std::vector<std::string> take_queue() {
    std::vector<std::string> lines;
    mqd_t q = mq_open("/mqd", O_RDONLY | O_NONBLOCK);
    if (q == (mqd_t)-1) return lines;
    mq_attr attr{};
    mq_getattr(q, &attr);
    std::string buf((size_t)attr.mq_msgsize, '\0');
    for (ssize_t n; (n = mq_receive(q, buf.data(), buf.size(), nullptr)) >= 0;) lines.push_back(buf.substr(0, n));
    mq_close(q);
    return lines;
}

}  // namespace

Count tally(long posted, const std::vector<std::string> &right, const std::vector<std::string> &astray) {
    Count c;
    c.posted = posted;
    std::vector<int> in_right(posted), in_astray(posted), in_queue(posted);
    for (const std::string &text : right) scan(text, posted, in_right, c.torn);
    for (const std::string &text : astray) scan(text, posted, in_astray, c.torn);
    std::string queued;
    for (const std::string &line : take_queue()) queued += line;
    scan(queued, posted, in_queue, c.torn);
    for (long n = 0; n < posted; ++n) {
        int copies = in_right[n] + in_astray[n] + in_queue[n];
        c.duplicated += std::max(copies - 1, 0);
        if (in_right[n]) ++c.written;
        else if (in_astray[n]) ++c.astray;
        else if (in_queue[n]) ++c.queued;
        else ++c.lost;
    }
    return c;
}

long written_now(long posted, const std::vector<std::string> &texts) {
    std::vector<int> seen(posted);
    long torn = 0;
    for (const std::string &text : texts) scan(text, posted, seen, torn);
    return std::count_if(seen.begin(), seen.end(), [](int s) { return s > 0; });
}
