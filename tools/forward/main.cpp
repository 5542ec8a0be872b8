// tembra-forward: ships the day files' records to a syslog collector, at least
// once, resuming from a saved position.
#include <signal.h>

#include "forward.h"
#include "common/cli.h"
#include "settings.h"

namespace {

volatile sig_atomic_t stop_requested = 0;

void on_stop(int) { stop_requested = 1; }

}  // namespace

int main(int argc, char **argv) {
    forward::Settings settings;
    int status = forward::parse_options(argc, argv, settings);
    if (status != tools::kRun) return status;
    struct sigaction stop = {};
    stop.sa_handler = on_stop;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return forward::run(settings, stop_requested);
}
