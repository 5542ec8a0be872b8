// tembra-forward's throughput: 200,000 records to a local rsyslogd over each
// transport, against rsyslog's own file shipping (imfile, then omrelp) in the same run.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "collector.h"
#include "sandbox.h"

namespace {

const std::string kDayFile = "/var/log/Tembra/tembra-20261207.log";
const std::string kCollectorDir = "/var/log/collector";
const std::string kShipperDir = "/var/log/shipper";

double seconds() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

void write_records(long count) {
    const char *levels[] = {"INFO", "DEBUG", "WARN", "ERROR", "ALERT"};
    std::string text;
    char line[160];
    for (long n = 0; n < count; ++n) {
        int len = std::snprintf(line, sizeof line, "[%s] 2026-12-07 10:%02ld:%02ld request %ld served in %ld ms (%s) \n",
                                levels[n % 5], n / 60 % 60, n % 60, n, n % 97, n % 2 ? "SERVER" : "PROGRAM");
        text.append(line, (size_t)len);
    }
    std::ofstream(kDayFile, std::ios::binary | std::ios::trunc) << text;
}

// Counts the lines of a file that only grows, reading each byte once.
class LineCounter {
  public:
    explicit LineCounter(std::string path) : path_(std::move(path)) {}
    ~LineCounter() {
        if (fd_ >= 0) close(fd_);
    }
    long lines() {
        if (fd_ < 0) fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        char buf[1 << 16];
        ssize_t n;
        while (fd_ >= 0 && (n = read(fd_, buf, sizeof buf)) > 0)
            lines_ += std::count(buf, buf + n, '\n');
        return lines_;
    }

  private:
    std::string path_;
    int fd_ = -1;
    long lines_ = 0;
};

bool wait_lines(LineCounter &counter, long want, double limit_s) {
    double deadline = seconds() + limit_s;
    while (counter.lines() < want) {
        if (seconds() > deadline) return false;
        usleep(2000);
    }
    return true;
}

pid_t spawn(const std::vector<std::string> &argv, const std::string &err) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        dup2(fd, 2);
        std::vector<char *> args;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// One timed run: from the start of the sender until the collector wrote every record.
double timed_run(collector::Collector &c, long count, const std::vector<std::string> &sender,
                 const char *name) {
    c.stop(SIGTERM);
    unlink(c.output_path().c_str());
    unlink("/var/log/forward.state");
    if (!c.start()) {
        std::fprintf(stderr, "forward-bench: the collector does not start:\n%s", c.diagnostics().c_str());
        std::exit(1);
    }
    LineCounter counter(c.output_path());
    double start = seconds();
    pid_t pid = spawn(sender, "/var/log/sender.err");
    bool complete = wait_lines(counter, count, 300);
    double elapsed = seconds() - start;
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!complete) {
        std::fprintf(stderr, "forward-bench: %s delivered %ld of %ld records; see /var/log/sender.err\n",
                     name, counter.lines(), count);
        std::exit(1);
    }
    return count / elapsed;
}

// rsyslog reading the day file with imfile and forwarding with omrelp, with its
// default queues, to the collector's imrelp.
std::vector<std::string> shipper(const collector::Collector &c) {
    mkdir(kShipperDir.c_str(), 0700);
    std::string conf = kShipperDir + "/rsyslog.conf";
    std::ofstream(conf, std::ios::trunc)
        << "global(workDirectory=\"" << kShipperDir << "\" maxMessageSize=\"64k\")\n"
        << "module(load=\"imfile\")\nmodule(load=\"omrelp\")\n"
        << "input(type=\"imfile\" file=\"" << kDayFile << "\" tag=\"tembra\" ruleset=\"ship\")\n"
        << "ruleset(name=\"ship\") {\n  action(type=\"omrelp\" target=\"127.0.0.1\" port=\""
        << c.ports().relp << "\" windowSize=\"1024\")\n}\n";
    // imfile keeps its read position in the work directory: each run starts afresh.
    std::system(("rm -f " + kShipperDir + "/imfile-state*").c_str());
    return {"/usr/sbin/rsyslogd", "-n", "-f", conf, "-i", kShipperDir + "/rsyslogd.pid"};
}

struct Figures {
    double median, low, high;
};
Figures figures(std::vector<double> rates) {
    std::sort(rates.begin(), rates.end());
    return {rates[rates.size() / 2], rates.front(), rates.back()};
}

}  // namespace

int main(int argc, char **argv) {
    long count = 200000;
    int runs = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--records") == 0) count = std::atol(argv[i + 1]);
        if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
    }
    sandbox_enter();
    if (!collector::enter_network()) {
        std::perror("forward-bench: network namespace");
        return 1;
    }
    write_records(count);
    collector::Collector c(kCollectorDir);
    const std::string fwd = std::string(TEMBRA_BIN_DIR) + "/tembra-forward";
    auto via = [&](std::vector<std::string> to) {
        std::vector<std::string> argv = {fwd, "--once", "--state", "/var/log/forward.state",
                                         "--directory", "/var/log/Tembra/"};
        argv.insert(argv.end(), to.begin(), to.end());
        return argv;
    };
    const struct {
        const char *name;
        std::vector<std::string> sender;
    } setups[] = {
        {"tembra-forward tcp://", via({"tcp://127.0.0.1:" + std::to_string(c.ports().tcp)})},
        {"tembra-forward tls://", via({"--ca", c.ca(), "tls://127.0.0.1:" + std::to_string(c.ports().tls)})},
        {"tembra-forward relp://", via({"relp://127.0.0.1:" + std::to_string(c.ports().relp)})},
        {"rsyslog imfile+omrelp", shipper(c)},
    };
    std::vector<std::vector<double>> rates(std::size(setups));
    // Interleaved, so that a slow moment of the machine touches every setup alike.
    for (int r = 0; r < runs; ++r)
        for (size_t s = 0; s < std::size(setups); ++s) {
            if (s == 3) shipper(c);
            rates[s].push_back(timed_run(c, count, setups[s].sender, setups[s].name));
        }
    c.stop(SIGTERM);

    std::printf("forward-bench: %ld records to rsyslogd on 127.0.0.1, %d runs each\n", count, runs);
    std::printf("%-24s %12s %24s\n", "sender", "median rec/s", "range rec/s");
    std::vector<Figures> f;
    for (size_t s = 0; s < std::size(setups); ++s) {
        f.push_back(figures(rates[s]));
        std::printf("%-24s %12.0f %11.0f - %10.0f\n", setups[s].name, f[s].median, f[s].low, f[s].high);
    }
    double ratio = f[2].median / f[3].median;
    std::printf("relp:// / rsyslog's own shipping: %.2f (target >= 1: %s)\n", ratio, ratio >= 1 ? "met" : "NOT met");
    std::printf("tcp:// median %.0f rec/s (target >= 100000: %s)\n", f[0].median,
                f[0].median >= 100000 ? "met" : "NOT met");
    return 0;
}
