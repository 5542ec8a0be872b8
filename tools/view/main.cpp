// tembra-view: shows the records of the day files in time order, filtered,
// as lines, JSON or bare messages, and follows them as they are written.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/cli.h"
#include "run.h"

namespace {

// Colour only on a terminal that shows it, and through a pager that does.
bool use_colour(bool tty, bool paging, const view::Pager &pager) {
    const char *no_colour = std::getenv("NO_COLOR"), *term = std::getenv("TERM");
    if (!tty || (no_colour && *no_colour) || !term || !*term || std::strcmp(term, "dumb") == 0) return false;
    return !paging || pager.command.empty() || pager.colours;
}

}  // namespace

int main(int argc, char **argv) {
    view::Settings s;
    int status = view::parse_options(argc, argv, s, time(nullptr));
    if (status != tools::kRun) return status;
    // A path given that cannot be read is a bad argument; a missing log directory is not.
    bool given = !s.paths.empty();
    if (!given) s.paths.push_back(LOG_DIRECTORY);
    std::vector<view::Closed> closed;
    std::string why;
    std::vector<std::string> files = view::files_of(s.paths, closed, why);
    if (!why.empty()) {
        std::fprintf(stderr, "tembra-view: %s\n", why.c_str());
        return given ? 2 : 1;
    }
    std::string hint = view::access_hint(files, closed);
    if (!hint.empty()) {
        std::fprintf(stderr, "tembra-view: %s\n", hint.c_str());
        return 1;
    }
    view::Notes notes(s.quiet);
    for (const view::Closed &c : closed) notes.file(c.path, c.why);
    if (s.summary != view::Summary::None) return view::print_summary(s, files, notes) > 0 ? (notes.any() ? 3 : 0) : 1;

    bool tty = isatty(1), paging = tty && s.pager && !s.follow;
    view::Pager pager = paging ? view::choose_pager(s.pager_end) : view::Pager{};
    if (!pager.missing.empty() && !s.quiet)
        std::fprintf(stderr, "tembra-view: the pager '%s' cannot be started; showing the output directly\n",
                     pager.missing.c_str());
    view::Style style{s.output, use_colour(tty, paging, pager), s.utc};
    view::Sink sink(paging, pager);
    if (s.follow && s.lines < 0) s.lines = 10;
    std::vector<dayfile::Position> ends;
    long shown = view::print_history(s, files, style, sink, notes, ends);
    sink.flush();
    struct stat last;
    bool named = given && stat(s.paths.back().c_str(), &last) == 0 && !S_ISDIR(last.st_mode);
    if (s.follow && named) shown += view::follow_files(s, ends, style, sink, notes);
    else if (s.follow)
        shown += view::follow_directory(s, s.paths.back(), ends.empty() ? dayfile::Position{} : ends.back(), style,
                                        sink, notes);
    sink.close();
    if (shown == 0) return 1;
    return notes.any() ? 3 : 0;
}
