// Load test: producers against tembra-drain --follow, and through syslog(3)
// into a private rsyslogd, with every record accounted for over several runs.
#include <fcntl.h>
#include <mqueue.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "files.h"
#include "logger/compose.h"
#include "logger/logger.h"
#include "run.h"
#include "sandbox.h"

namespace {

const char kCollectorDir[] = "/var/log/rsyslog";
const char kCollectorFile[] = "/var/log/rsyslog/messages";
const char kCollectorSocket[] = "/var/log/rsyslog/log.sock";

// Where the records go: Log_Send to tembra-drain, syslog(3) to rsyslogd, or
// a bare blocking mq_send to a bare drain (blocking receives, a write per 16).
enum class Sink { drain, rsyslog, bare };

struct Plan {
    Sink sink;
    int producers;
    int records;         // per producer
    bool paced = false;  // 5,000 records a second in bursts of 10, else full speed
    bool wait = false;   // Log_SetWait(-1): a post waits for room as long as it takes
    bool quiet = false;  // Log_SetEcho(0) and Log_SetTrace(0)
    bool raised = false; // the drain runs at nice -5, above the producers
    bool bare_echo_trace = false;  // the bare producer echoes and traces each line as Log_Send does
};

constexpr int kBatch = 16;  // the bare drain's lines per write, as the drain's
long bare_depth = 98;       // the bare pair's queue: as deep as the drain's last one

struct Result {
    double rate = 0;       // records a second into the file
    double post_rate = 0;  // records a second offered by the producers together
    long written = 0, failed = 0, torn = 0, duplicated = 0, unaccounted = 0;
    long depth = 0;  // the queue's depth as the drain left it
};

void sleep_until(double at) {
    timespec t;
    t.tv_sec = (time_t)at;
    t.tv_nsec = (long)((at - (double)t.tv_sec) * 1e9);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

// What Log_Send does besides posting, by default: the line to stdout through
// stdio, and "LogLine: <line> <length>" to stderr in one write(2).
void echo_and_trace(const char *line, int n) {
    std::fwrite(line, 1, (size_t)n, stdout);
    std::fputc('\n', stdout);
    char text[LOG_LINE_SIZE + 32];
    int t = std::snprintf(text, sizeof text, "LogLine: %s %d", line, n);
    if (write(2, text, (size_t)t) != t) _exit(3);
}

pid_t start_producer(const Plan &plan, int k) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        run::redirect(1, "/dev/null");
        run::redirect(2, "/var/log/producer-" + std::to_string(k) + ".err");
        if (plan.wait) Log_SetWait(-1);
        Log_SetEcho(!plan.quiet);
        Log_SetTrace(!plan.quiet);
        if (plan.sink == Sink::drain) Log_Init();
        if (plan.sink == Sink::rsyslog) openlog("load", LOG_NDELAY, LOG_USER);
        mqd_t bare = plan.sink == Sink::bare ? mq_open("/mqd", O_WRONLY) : (mqd_t)-1;
        char stamp[LOG_TIME_SIZE], line[128];
        Log_Time(stamp);
        // A burst of 10 every 2 ms; a producer held up does not make up for it
        // with a larger burst, it goes on from where it is.
        double next = run::seconds();
        for (int r = 0; r < plan.records; ++r) {
            if (plan.paced && r % 10 == 0) {
                next = std::max(next, run::seconds());
                sleep_until(next);
                next += 0.002;
            }
            if (plan.sink == Sink::drain) {
                Log_Send(LogWarn, LogServer, "p%d r%d", k, r);
            } else if (plan.sink == Sink::rsyslog) {
                syslog(LOG_WARNING, "p%d r%d", k, r);
            } else {
                int n = std::snprintf(line, sizeof line, "[WARN] %s p%d r%d (SERVER) \n", stamp, k, r);
                if (plan.bare_echo_trace) echo_and_trace(line, n);
                if (mq_send(bare, line, (size_t)n, LogWarn) != 0)
                    std::fprintf(stderr, "%s :mq_send()[Log_Send]\n", strerror(errno));
            }
        }
        std::fflush(nullptr);
        _exit(0);
    }
    return pid;
}

// "p<k> r<n>" in a line, after the drain's or the collector's own framing;
// false when the line is torn.
bool parse(Sink sink, const std::string &line, int &k, int &r) {
    size_t from = 0;
    if (sink != Sink::rsyslog) {
        static const char shape[] = "[WARN] 0000-00-00 00:00:00 ";
        if (line.size() < sizeof shape) return false;
        for (size_t i = 0; i + 1 < sizeof shape; ++i)
            if (shape[i] == '0' ? !isdigit((unsigned char)line[i]) : line[i] != shape[i]) return false;
        from = sizeof shape - 1;
    } else {
        from = line.find_first_not_of(' ');
        if (from == std::string::npos) return false;
    }
    int used = 0;
    if (std::sscanf(line.c_str() + from, "p%d r%d%n", &k, &r, &used) != 2) return false;
    const char *tail = sink != Sink::rsyslog ? " (SERVER) \n" : "\n";
    return line.compare(from + used, std::string::npos, tail) == 0;
}

// Waits for the producers (noting when the last one ended), then for the
// file to stay the same size for 200 ms; the time of its last growth.
double settle(const std::string &path, std::vector<pid_t> pids, double &posted_at) {
    off_t last_size = -1;
    double last_change = run::seconds();
    for (;;) {
        for (size_t i = 0; i < pids.size();) {
            int status;
            if (run::ended(pids[i], &status)) pids.erase(pids.begin() + (long)i), posted_at = run::seconds();
            else ++i;
        }
        struct stat st {};
        stat(path.c_str(), &st);
        double now = run::seconds();
        if (st.st_size != last_size) last_size = st.st_size, last_change = now;
        else if (pids.empty() && now - last_change > 0.2) return last_change;
        usleep(2000);
    }
}

void write_text(const std::string &path, const std::string &text) {
    std::FILE *f = std::fopen(path.c_str(), "w");
    if (f) std::fputs(text.c_str(), f), std::fclose(f);
}

// rsyslogd with a configuration of its own: one private socket without rate
// limiting, the producers' records into one file, nothing else.
pid_t start_collector() {
    mkdir(kCollectorDir, 0755);
    unlink(kCollectorFile);
    unlink(kCollectorSocket);
    const std::string conf = std::string(kCollectorDir) + "/rsyslog.conf";
    write_text(conf, "global(workDirectory=\"/var/log/rsyslog\" net.enableDNS=\"off\")\n"
                     "module(load=\"imuxsock\" SysSock.Use=\"off\")\n"
                     "input(type=\"imuxsock\" Socket=\"/var/log/rsyslog/log.sock\" RateLimit.Interval=\"0\")\n"
                     "template(name=\"bare\" type=\"string\" string=\"%msg%\\n\")\n"
                     "if $programname == \"load\" then action(type=\"omfile\" file=\"/var/log/rsyslog/messages\" "
                     "template=\"bare\")\n");
    pid_t pid = run::start({"/usr/sbin/rsyslogd", "-n", "-iNONE", "-f", conf}, "/var/log/rsyslog/stdout",
                           "/var/log/rsyslog/stderr");
    if (!run::wait_for([] { return access(kCollectorSocket, F_OK) == 0; }, 5000))
        std::fprintf(stderr, "logger_load: rsyslogd did not come up; see /var/log/rsyslog/stderr\n");
    return pid;
}

pid_t start_drain(bool raised) {
    mq_unlink("/mqd");
    unlink(bed::day_path().c_str());
    pid_t pid = run::start({"tembra-drain", "--follow"}, "/dev/null", "/var/log/drain.err", nullptr,
                           [raised] {
                               if (raised) setpriority(PRIO_PROCESS, 0, -5);
                           });
    run::wait_for([] { return run::pending() >= 0 && access(bed::day_path().c_str(), F_OK) == 0; }, 2000);
    return pid;
}

// The bare drain: blocking receives, up to 16 lines a write(2), until killed.
pid_t start_bare_drain() {
    mq_unlink("/mqd");
    unlink(bed::day_path().c_str());
    // Other users of this uid's queue memory may hold it for a moment.
    mqd_t made = (mqd_t)-1;
    for (int tries = 0; tries < 50 && made == (mqd_t)-1; ++tries) {
        made = sandbox_create_queue(bare_depth, LOG_LINE_SIZE);
        if (made == (mqd_t)-1 && errno != EMFILE && errno != ENOMEM) break;
        if (made == (mqd_t)-1) usleep(100000);
    }
    if (made == (mqd_t)-1) std::perror("logger_load: bare queue");
    mq_close(made);
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        mqd_t q = mq_open("/mqd", O_RDONLY);
        int fd = open(bed::day_path().c_str(), O_WRONLY | O_APPEND | O_CREAT, 0640);
        static char buf[kBatch * LOG_LINE_SIZE];
        const timespec now_or_never = {0, 0};
        for (;;) {
            ssize_t n = mq_receive(q, buf, LOG_LINE_SIZE, nullptr);
            if (n <= 0) continue;
            size_t bytes = (size_t)n;
            for (int lines = 1; lines < kBatch; ++lines) {
                n = mq_timedreceive(q, buf + bytes, LOG_LINE_SIZE, nullptr, &now_or_never);
                if (n <= 0) break;
                bytes += (size_t)n;
            }
            if (write(fd, buf, bytes) != (ssize_t)bytes) _exit(1);
        }
    }
    return pid;
}

long queue_depth() {
    mqd_t q = mq_open("/mqd", O_RDONLY | O_NONBLOCK);
    if (q == (mqd_t)-1) return 0;
    mq_attr attr{};
    mq_getattr(q, &attr);
    mq_close(q);
    return attr.mq_maxmsg;
}

Result run_once(const Plan &plan) {
    bool ours = plan.sink != Sink::rsyslog;
    pid_t collector = plan.sink == Sink::drain ? start_drain(plan.raised)
                      : plan.sink == Sink::bare ? start_bare_drain()
                                                : start_collector();
    Result result;
    result.depth = ours ? queue_depth() : 0;
    if (plan.sink == Sink::drain && result.depth > 0) bare_depth = result.depth;
    const std::string path = ours ? bed::day_path() : kCollectorFile;

    double t0 = run::seconds();
    std::vector<pid_t> pids;
    for (int k = 0; k < plan.producers; ++k) pids.push_back(start_producer(plan, k));
    double posted_at = t0;
    double t1 = settle(path, pids, posted_at);
    kill(collector, SIGTERM);
    run::reap(collector);

    std::vector<std::vector<char>> seen(plan.producers, std::vector<char>(plan.records, 0));
    std::istringstream file(bed::read_file(path));
    for (std::string line; std::getline(file, line);) {
        line += '\n';
        int k, r;
        if (line.find(" lost: ") != std::string::npos && line.ends_with(" (PROGRAM) \n")) continue;  // a loss record
        if (!parse(plan.sink, line, k, r) || k < 0 || k >= plan.producers || r < 0 || r >= plan.records) {
            ++result.torn;
            continue;
        }
        result.duplicated += seen[k][r]++ > 0;
        ++result.written;
    }
    for (int k = 0; k < plan.producers; ++k) {
        std::string err = bed::read_file("/var/log/producer-" + std::to_string(k) + ".err");
        long failed = ours ? (long)bed::count_of(err, " :mq_send()[Log_Send]\n") : 0;
        long written = 0;
        for (char s : seen[k]) written += s > 0;
        result.failed += failed;
        result.unaccounted += plan.records - written - failed;
    }
    result.rate = (double)result.written / (t1 - t0);
    result.post_rate = (double)plan.producers * plan.records / (posted_at - t0);
    mq_unlink("/mqd");
    return result;
}

struct Figures {
    std::vector<double> rate, post_rate, written, failed, torn, duplicated, unaccounted, depth;
};

Figures repeat(const Plan &plan, int runs) {
    Figures f;
    for (int i = 0; i < runs; ++i) {
        Result r = run_once(plan);
        f.rate.push_back(r.rate);
        f.post_rate.push_back(r.post_rate);
        f.written.push_back((double)r.written);
        f.failed.push_back((double)r.failed);
        f.torn.push_back((double)r.torn);
        f.duplicated.push_back((double)r.duplicated);
        f.unaccounted.push_back((double)r.unaccounted);
        f.depth.push_back((double)r.depth);
    }
    return f;
}

bool all_zero(const std::vector<double> &figures) {
    for (double x : figures)
        if (x != 0) return false;
    return true;
}

bool sound(const Figures &f) { return all_zero(f.torn) && all_zero(f.duplicated) && all_zero(f.unaccounted); }

// Lost: refused by the queue (reported) or missing without a report.
std::vector<double> lost(const Figures &f) {
    std::vector<double> sum;
    for (size_t i = 0; i < f.failed.size(); ++i) sum.push_back(f.failed[i] + f.unaccounted[i]);
    return sum;
}

// One kind of producer and collector in the comparison.
struct Kind {
    const char *producers, *collector;
    Plan plan;
    bool must_keep_all;  // a waiting producer: 0 lost in every run, and the rate targets
};

// Per P, every kind once in each run, in turn, so that a busy spell of the
// machine meets all alike; the ratios are taken run by run. A waiting
// producer's rate is judged against the bare pair that does the same work
// besides posting: with echo and trace, the bare pair that echoes and traces.
bool compare_kinds(int runs) {
    bool ok = true;
    std::printf("\nP producers at full speed, 20,000 records each; the collector starts first and its queue is as deep\n"
                "as this namespace allows. Median (range) of %d runs; the ratios are taken within each run.\n\n",
                runs);
    std::printf("| P | producers | collector | records/s into the file | lost | x rsyslogd | x bare pair | "
                "x bare pair, echoing and tracing |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    enum { kRsyslog = 4, kBare = 5, kBareTraced = 6 };
    for (int p : {1, 2, 4}) {
        const int m = 20000;
        std::vector<Kind> kinds = {
            {"Log_Send, waiting", "tembra-drain", {Sink::drain, p, m, false, true}, true},
            {"Log_Send, waiting, echo and trace off", "tembra-drain", {Sink::drain, p, m, false, true, true}, true},
            {"Log_Send, not waiting", "tembra-drain", {Sink::drain, p, m}, false},
            {"Log_Send, not waiting", "tembra-drain at nice -5", {Sink::drain, p, m, false, false, false, true}, false},
            {"syslog(3)", "rsyslogd", {Sink::rsyslog, p, m}, false},
            {"bare blocking mq_send", "bare drain", {Sink::bare, p, m}, false},
            {"bare blocking mq_send, echoing and tracing", "bare drain",
             {Sink::bare, p, m, false, false, false, false, true}, false},
        };
        std::vector<Figures> figures(kinds.size());
        for (int run = 0; run < runs; ++run)
            for (size_t k = 0; k < kinds.size(); ++k) {
                Figures one = repeat(kinds[k].plan, 1);
                Figures &f = figures[k];
                f.rate.push_back(one.rate[0]), f.failed.push_back(one.failed[0]);
                f.unaccounted.push_back(one.unaccounted[0]), f.torn.push_back(one.torn[0]);
                f.duplicated.push_back(one.duplicated[0]);
            }
        auto ratios = [&](const Figures &f, const Figures &to) {
            std::vector<double> r;
            for (int run = 0; run < runs; ++run) r.push_back(f.rate[run] / to.rate[run]);
            return r;
        };
        for (size_t k = 0; k < kinds.size(); ++k) {
            const Figures &f = figures[k];
            std::vector<double> to_rsyslog = ratios(f, figures[kRsyslog]), to_bare = ratios(f, figures[kBare]),
                                to_traced = ratios(f, figures[kBareTraced]);
            std::printf("| %d | %s | %s | %s | %s | %s | %s | %s |\n", p, kinds[k].producers, kinds[k].collector,
                        run::spread(f.rate).c_str(), run::spread(lost(f)).c_str(),
                        run::spread(to_rsyslog, "%.2f").c_str(), run::spread(to_bare, "%.2f").c_str(),
                        run::spread(to_traced, "%.2f").c_str());
            std::fflush(stdout);
            if (kinds[k].plan.sink == Sink::drain) ok &= sound(f);
            if (!kinds[k].must_keep_all) continue;
            const std::vector<double> &to_like = kinds[k].plan.quiet ? to_bare : to_traced;
            bool met = all_zero(lost(f)) && run::median(to_rsyslog) >= 2 && run::median(to_like) >= 0.8;
            if (!met)
                std::printf("NOT MET at P = %d (%s): 0 lost in every run, >= 2x rsyslogd, >= 0.8x the bare pair "
                            "doing the same work\n",
                            p, kinds[k].producers);
            ok &= all_zero(lost(f));
        }
    }
    return ok;
}

}  // namespace

int main(int argc, char **argv) {
    bool quick = false;
    int runs = 5;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) quick = true;
        else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc && std::atoi(argv[i + 1]) >= 1)
            runs = std::atoi(argv[++i]);
        else return std::fprintf(stderr, "usage: logger_load [--quick] [--runs N (5)]\n"), 2;
    }
    sandbox_enter();
    bool ok = true, paced_kept_all = true;
    Figures full_speed;

    std::printf("Full speed; the drain creates the queue under the stock fs.mqueue.msg_max of 10. Median (range) of %d runs.\n\n", runs);
    std::printf("| P | M | queue depth | records/s into the file | written | failed posts | torn | duplicated | "
                "unaccounted |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    for (int producers : quick ? std::vector<int>{2} : std::vector<int>{1, 2, 4}) {
        Plan plan{Sink::drain, producers, quick ? 2000 : 20000, false};
        Figures f = repeat(plan, runs);
        std::printf("| %d | %d | %s | %s | %s | %s | %s | %s | %s |\n", producers, plan.records,
                    run::spread(f.depth).c_str(), run::spread(f.rate).c_str(), run::spread(f.written).c_str(), run::spread(f.failed).c_str(),
                    run::spread(f.torn).c_str(), run::spread(f.duplicated).c_str(),
                    run::spread(f.unaccounted).c_str());
        std::fflush(stdout);
        ok &= sound(f);
    }
    if (quick) {
        if (!ok) std::printf("FAIL: records were torn, duplicated or lost without a report\n");
        return ok ? 0 : 1;
    }

    // The drain starts first and creates the queue as deep as this namespace
    // lets it; the collector needs a private /dev/log and no network at all.
    sandbox_raise_limit("msg_max", 1024);
    if (unshare(CLONE_NEWNET) != 0) return std::perror("logger_load: network namespace"), 1;
    sandbox_private_dev_log(kCollectorSocket);
    std::printf("\nThe drain started first, creating the queue; beside it, syslog(3) into a private rsyslogd.\n"
                "Paced: 5,000 records/s per producer in bursts of 10. Median (range) of %d runs.\n\n",
                runs);
    std::printf("| collector | P | M | pace | queue depth | records/s offered | records/s into the file | written | "
                "lost | torn | duplicated |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (Plan plan : {Plan{Sink::drain, 4, 5000, true}, Plan{Sink::rsyslog, 4, 5000, true},
                      Plan{Sink::drain, 1, 20000, false}, Plan{Sink::rsyslog, 1, 20000, false}}) {
        Figures f = repeat(plan, runs);
        bool ours = plan.sink == Sink::drain;
        std::printf("| %s | %d | %d | %s | %s | %s | %s | %s | %s | %s | %s |\n", ours ? "tembra-drain" : "rsyslogd",
                    plan.producers, plan.records, plan.paced ? "paced" : "full speed",
                    ours ? run::spread(f.depth).c_str() : "-", run::spread(f.post_rate).c_str(),
                    run::spread(f.rate).c_str(),
                    run::spread(f.written).c_str(), run::spread(lost(f)).c_str(), run::spread(f.torn).c_str(),
                    run::spread(f.duplicated).c_str());
        std::fflush(stdout);
        if (ours) ok &= sound(f);
        if (ours && plan.paced) paced_kept_all = all_zero(lost(f));
        if (ours && !plan.paced) full_speed = f;
    }
    ok &= compare_kinds(runs);
    double offered = run::median(full_speed.post_rate), depth = run::median(full_speed.depth);
    std::printf("\nOne producer at full speed offers %.0f records/s (median); the queue's %.0f slots hold %.2f ms of that. "
                "A post that does not\nwait (the default) is refused and reported whenever the drain falls that far behind; "
                "one that waits\n(Log_SetWait) blocks the producer instead, as syslog(3) does.\n",
                offered, depth, offered > 0 ? depth / offered * 1000 : 0.0);
    if (!ok) std::printf("FAIL: records were torn, duplicated or lost without a report\n");
    if (!paced_kept_all) std::printf("FAIL: paced producers lost records against a drain that came first\n");
    return ok && paced_kept_all ? 0 : 1;
}
