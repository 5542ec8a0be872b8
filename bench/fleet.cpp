// The fleet run: several hosts, each in network, IPC and mount namespaces of its
// own with producers, tembra-drain and tembra-forward, ship to two rsyslog
// collectors over RELP while the first collector is killed, a host's network is
// cut and a forwarder is killed; then every record must be in the collectors.
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "collector.h"
#include "logger/logger.h"
#include "run.h"
#include "sandbox.h"

namespace {

// What runs, and when each fault happens (seconds from the start).
struct Plan {
    int hosts = 4;
    int producers = 2;      // per host
    int records = 10000;    // per producer
    int rate = 500;         // records per second per producer
    int batch = 500;        // tembra-forward --batch
    double kill_collector = 3, collector_back = 7;
    double cut = 10, cut_for = 4;  // host 1's network
    double kill_forwarder = 12;    // host 2's, SIGKILL, started again at once
    double deadline = 90;         // for everything to arrive after the producers end
};

Plan quick() {
    Plan p;
    p.hosts = 3, p.producers = 1, p.records = 8000, p.rate = 1000, p.batch = 200;
    p.kill_collector = 1, p.collector_back = 2, p.cut = 3.5, p.cut_for = 1, p.kill_forwarder = 3;
    p.deadline = 30;
    return p;
}

// Exit status of a run that could not be done here (ctest's SKIP_RETURN_CODE).
constexpr int kSkipped = 77;

// Each host's user: queue memory (RLIMIT_MSGQUEUE) is counted per user across
// every namespace, so each host gets its own budget. Runs at the same time on
// one machine take users from different blocks of kMaxHosts, by their pid.
constexpr int kMaxHosts = 16;
uid_t first_uid = 61000;  // set by the runner before it starts the hosts
// Lines of each host's /mqd: 96 x 8192 bytes and the kernel's bookkeeping stay
// within one user's 819,200 bytes.
constexpr int kDepth = 96;
const char kCollectorA[] = "/var/log/collector-a", kCollectorB[] = "/var/log/collector-b";

std::string address(int host, int side) { return "10.9." + std::to_string(host) + "." + std::to_string(side); }

bool sh(const std::string &command) {
    std::string quiet = command + " >/dev/null 2>&1";
    return std::system(quiet.c_str()) == 0;
}

void fail(const char *what) {
    std::fprintf(stderr, "fleet: %s: %s\n", what, strerror(errno));
    std::exit(1);
}

volatile sig_atomic_t kill_forwarder = 0, stop_host = 0;
void on_usr1(int) { kill_forwarder = 1; }
void on_term(int) { stop_host = 1; }

// A producer: records "pP rN ok" at the plan's rate, in bursts of 10.
[[noreturn]] void produce(const Plan &plan, int producer) {
    Log_Init();
    double start = run::seconds();
    for (int n = 0; n < plan.records; ++n) {
        if (n % 10 == 0) {
            double due = start + (double)n / plan.rate;
            double ahead = due - run::seconds();
            if (ahead > 0) usleep((useconds_t)(ahead * 1e6));
        }
        Log_Send(n % 5, n % 2, "p%d r%d ok", producer, n);
    }
    std::fflush(nullptr);
    _exit(0);
}

// Tells the log which records a producer's posts lost, from its standard error:
// the logger reports a failed post just after its trace of the line. The count.
// (The producers post at a steady rate into a queue of kDepth lines: a drain
// held off the CPU for longer than the queue lasts makes the logger refuse and
// report posts; those are the logger's reported losses, not the forwarder's.)
int tell_failed_posts(const std::string &path, int host, int log) {
    std::FILE *f = std::fopen(path.c_str(), "r");
    if (!f) return 0;
    int failed = 0, producer = -1, record = -1;
    char line[9000];
    while (std::fgets(line, sizeof line, f)) {
        // A trace ends in the line's length without a newline: the next one follows it.
        const char *trace = std::strstr(line, "LogLine: ");
        const char *p = trace ? std::strstr(trace, " p") : nullptr;
        if (p) std::sscanf(p, " p%d r%d ok", &producer, &record);
        if (std::strstr(line, "mq_send()")) {
            dprintf(log, "fleet: host %d lost p%d r%d\n", host, producer, record);
            ++failed;
        }
    }
    std::fclose(f);
    return failed;
}

struct HostSide {
    int ready[2], go[2];
};

// One host: its namespaces, its address, its user, then producers, the drain
// and the forwarder; SIGUSR1 kills the forwarder with SIGKILL and starts it again.
[[noreturn]] void host_main(const Plan &plan, int i, HostSide side, int log) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (unshare(CLONE_NEWNET | CLONE_NEWIPC | CLONE_NEWNS) != 0) fail("host namespaces");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("fleet-host", "/var/log", "tmpfs", 0, "mode=0755") != 0)
        fail("host /var/log");
    char byte = 1;
    if (write(side.ready[1], &byte, 1) != 1 || read(side.go[0], &byte, 1) != 1) fail("host sync");
    if (!sh("ip link set lo up && ip addr add " + address(i, 2) + "/24 dev eth0 && ip link set eth0 up"))
        fail("host address");
    sandbox_raise_limit("msg_max", kDepth);
    uid_t uid = first_uid + (uid_t)i;
    mkdir("/var/log/Tembra", 0755);
    if (chown("/var/log", uid, uid) != 0 || chown("/var/log/Tembra", uid, uid) != 0) fail("chown");
    if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) fail("host user");
    signal(SIGUSR1, on_usr1);
    signal(SIGTERM, on_term);
    auto to_log = [log] { dup2(log, 2); };
    pid_t drain = run::start({"tembra-drain", "--follow", "--depth", std::to_string(kDepth)}, "/dev/null",
                             "/dev/null", nullptr, to_log);
    run::wait_for([] { return run::pending() >= 0; }, 5000);
    std::string a = address(i, 1);
    const std::vector<std::string> forward = {
        "tembra-forward", "--state", "/var/log/forward.state", "--hostname", "host" + std::to_string(i),
        "--batch", std::to_string(plan.batch), "relp://" + a + ":20516", "relp://" + a + ":20526"};
    pid_t forwarder = run::start(forward, "/dev/null", "/dev/null", nullptr, to_log);
    std::vector<pid_t> producers;
    for (int p = 0; p < plan.producers; ++p) {
        std::fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            run::redirect(1, "/dev/null");
            run::redirect(2, "/var/log/producer" + std::to_string(p) + ".err");
            produce(plan, p);
        }
        producers.push_back(pid);
    }
    bool told = false;
    while (!stop_host) {
        if (kill_forwarder) {
            kill_forwarder = 0;
            kill(forwarder, SIGKILL);
            waitpid(forwarder, nullptr, 0);
            forwarder = run::start(forward, "/dev/null", "/dev/null", nullptr, to_log);
        }
        int status;
        std::erase_if(producers, [&](pid_t p) { return run::ended(p, &status); });
        if (!told && producers.empty()) {
            int failed = 0;
            for (int p = 0; p < plan.producers; ++p)
                failed += tell_failed_posts("/var/log/producer" + std::to_string(p) + ".err", i, log);
            dprintf(log, "fleet: host %d produced, failed posts %d\n", i, failed);
            told = true;
        }
        usleep(20000);
    }
    kill(forwarder, SIGTERM);
    kill(drain, SIGTERM);
    run::reap(forwarder);
    run::reap(drain);
    _exit(0);
}

struct Host {
    pid_t pid = -1;
    std::string log;
    bool produced = false;
    int failed = 0;
    std::vector<long> lost;  // records whose post failed, as producer x records + record
};

pid_t start_host(const Plan &plan, int i, Host &h) {
    HostSide side;
    if (pipe(side.ready) != 0 || pipe(side.go) != 0) fail("pipe");
    h.log = "/var/log/fleet/host" + std::to_string(i) + ".log";
    int log = open(h.log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    fchmod(log, 0666);  // the host's user appends to it
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) host_main(plan, i, side, fcntl(log, F_DUPFD, 3));
    close(log);
    char byte;
    if (read(side.ready[0], &byte, 1) != 1) fail("host start");
    std::string veth = "vh" + std::to_string(i);
    if (!sh("ip link add " + veth + " type veth peer name eth0 netns " + std::to_string(pid)) ||
        !sh("ip addr add " + address(i, 1) + "/24 dev " + veth + " && ip link set " + veth + " up"))
        fail("veth (ip link add ... type veth)");
    if (write(side.go[1], &byte, 1) != 1) fail("host sync");
    for (int fd : {side.ready[0], side.ready[1], side.go[0], side.go[1]}) close(fd);
    return pid;
}

// Reads what a collector wrote since the last call, a whole line at a time.
class Tail {
  public:
    explicit Tail(std::string path) : path_(std::move(path)) {}
    template <class F> void lines(F each) {
        if (fd_ < 0) fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        char buf[1 << 16];
        ssize_t n;
        while (fd_ >= 0 && (n = read(fd_, buf, sizeof buf)) > 0) {
            rest_.append(buf, (size_t)n);
            size_t from = 0;
            for (size_t nl; (nl = rest_.find('\n', from)) != std::string::npos; from = nl + 1)
                each(std::string_view(rest_).substr(from, nl - from));
            rest_.erase(0, from);
        }
    }

  private:
    std::string path_, rest_;
    int fd_ = -1;
};

// "<PRI>1 TIME HOST tembra - MSGID - pP rN ok": the host, producer and record.
bool parse(std::string_view line, int &host, int &producer, int &record) {
    size_t at = 0;
    std::string_view fields[7];
    for (auto &f : fields) {
        size_t blank = line.find(' ', at);
        if (blank == std::string_view::npos) return false;
        f = line.substr(at, blank - at);
        at = blank + 1;
    }
    std::string tail(line.substr(at));
    return fields[2].starts_with("host") && std::sscanf(fields[2].data() + 4, "%d", &host) == 1 &&
           std::sscanf(tail.c_str(), "p%d r%d ok", &producer, &record) == 2;
}

double cpu_seconds(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    std::FILE *f = std::fopen(path.c_str(), "r");
    if (!f) return 0;
    char text[1024] = {};
    size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    text[n] = '\0';
    const char *p = std::strrchr(text, ')');
    unsigned long utime = 0, stime = 0;
    if (p) std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
    return (double)(utime + stime) / (double)sysconf(_SC_CLK_TCK);
}

size_t count_in(const std::string &path, const char *what) {
    std::FILE *f = std::fopen(path.c_str(), "r");
    size_t count = 0;
    char line[4096];
    while (f && std::fgets(line, sizeof line, f))
        if (std::strstr(line, what)) ++count;
    if (f) std::fclose(f);
    return count;
}

}  // namespace

int main(int argc, char **argv) {
    Plan plan;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) plan = quick();
        if (std::strcmp(argv[i], "--hosts") == 0 && i + 1 < argc) plan.hosts = std::clamp(std::atoi(argv[++i]), 2, kMaxHosts);
    }
    if (geteuid() != 0) {
        std::puts("fleet: skipped: hosts need root (their own users, network namespaces and veth links)");
        return kSkipped;
    }
    sandbox_enter();
    if (!collector::enter_network() || !sh("ip link show lo")) {
        std::puts("fleet: skipped: this system allows no network namespace, or iproute2 is missing");
        return kSkipped;
    }
    mkdir("/var/log/fleet", 0777);
    chmod("/var/log/fleet", 0777);
    collector::Ports pa, pb;
    pa.address = pb.address = "0.0.0.0";
    pa.tcp = 20514, pa.tls = 20515, pa.relp = 20516, pa.tls_client = 20517;
    pb.tcp = 20524, pb.tls = 20525, pb.relp = 20526, pb.tls_client = 20527;
    collector::Collector a(kCollectorA, pa), b(kCollectorB, pb);
    if (!a.start() || !b.start()) {
        std::fprintf(stderr, "fleet: a collector does not start:\n%s%s", a.diagnostics().c_str(), b.diagnostics().c_str());
        return 1;
    }
    std::vector<Host> hosts(plan.hosts);
    first_uid = 61000 + (uid_t)(getpid() % 250) * kMaxHosts;
    for (int i = 0; i < plan.hosts; ++i) hosts[i].pid = start_host(plan, i, hosts[i]);
    double t0 = run::seconds();  // the faults' clock starts once every host runs

    // By host: how often each record arrived; when each host's records first reached
    // the second collector after the first was killed, and the first again after it was back.
    std::vector<std::map<long, int>> count(plan.hosts);
    std::vector<double> to_b(plan.hosts, -1), back_to_a(plan.hosts, -1);
    Tail tail_a(a.output_path()), tail_b(b.output_path());
    double killed_at = -1, back_at = -1, done_at = -1;
    bool cut = false, uncut = false, forwarder_killed = false;
    double cpu_a = 0;
    long expected = (long)plan.hosts * plan.producers * plan.records, distinct = 0, arrivals = 0;
    double produced_by = t0 + (double)plan.records / plan.rate;
    while (run::seconds() < produced_by + plan.deadline) {
        double t = run::seconds() - t0;
        if (killed_at < 0 && t >= plan.kill_collector) {
            cpu_a += cpu_seconds(a.pid());
            a.stop(SIGKILL);
            killed_at = t;
        }
        if (back_at < 0 && t >= plan.collector_back) {
            if (!a.start()) return std::fprintf(stderr, "fleet: the first collector does not start again\n"), 1;
            back_at = run::seconds() - t0;
        }
        if (!cut && t >= plan.cut) cut = sh("ip link set vh1 down");
        if (cut && !uncut && t >= plan.cut + plan.cut_for) uncut = sh("ip link set vh1 up");
        if (!forwarder_killed && t >= plan.kill_forwarder) forwarder_killed = kill(hosts[2 % plan.hosts].pid, SIGUSR1) == 0;
        auto take = [&](std::string_view line, bool first) {
            int host, producer, record;
            if (!parse(line, host, producer, record) || host < 0 || host >= plan.hosts) return;
            ++arrivals;
            if (count[host][(long)producer * plan.records + record]++ == 0) ++distinct;
            double now = run::seconds() - t0;
            if (!first && killed_at >= 0 && to_b[host] < 0) to_b[host] = now - killed_at;
            if (first && back_at >= 0 && back_to_a[host] < 0) back_to_a[host] = now - back_at;
        };
        tail_a.lines([&](std::string_view l) { take(l, true); });
        tail_b.lines([&](std::string_view l) { take(l, false); });
        long failed = 0;
        bool produced = true;
        for (int i = 0; i < plan.hosts; ++i) {
            if (!hosts[i].produced && count_in(hosts[i].log, "produced") > 0) {
                hosts[i].produced = true;
                std::FILE *f = std::fopen(hosts[i].log.c_str(), "r");
                char line[4096];
                int producer, record;
                while (f && std::fgets(line, sizeof line, f)) {
                    if (std::sscanf(line, "fleet: host %*d lost p%d r%d", &producer, &record) == 2)
                        hosts[i].lost.push_back((long)producer * plan.records + record);
                    std::sscanf(line, "fleet: host %*d produced, failed posts %d", &hosts[i].failed);
                }
                if (f) std::fclose(f);
            }
            produced = produced && hosts[i].produced;
            failed += hosts[i].failed;
        }
        if (produced && uncut && forwarder_killed && back_at >= 0 && distinct >= expected - failed) {
            done_at = run::seconds() - t0;
            break;
        }
        usleep(50000);
    }
    for (Host &h : hosts) kill(h.pid, SIGTERM);
    for (Host &h : hosts) run::reap(h.pid, 15000);
    cpu_a += cpu_seconds(a.pid());
    double cpu_b = cpu_seconds(b.pid());
    a.stop(SIGTERM);
    b.stop(SIGTERM);
    if (getenv("FLEET_DEBUG")) {
        long late = 0;
        auto take_late = [&](std::string_view line) {
            int host, producer, record;
            if (parse(line, host, producer, record) && host >= 0 && host < plan.hosts &&
                count[host][(long)producer * plan.records + record]++ == 0)
                ++late;
        };
        tail_a.lines(take_late);
        tail_b.lines(take_late);
        std::printf("debug: %ld records appeared only after the collectors stopped\n", late);
        std::system("rm -rf /tmp/fleet-debug; mkdir -p /tmp/fleet-debug; cp -r /var/log/collector-a /var/log/collector-b /var/log/fleet /tmp/fleet-debug/");
    }

    // The figures, and whether every record arrived within the bound on duplicates.
    long failed = 0, missing = 0, duplicates = 0;
    bool ok = done_at > 0;
    // The way back is taken with the next batch: only a host that still sends 5 s
    // after the collector's return must have taken it by then.
    bool must_return = produced_by - t0 >= back_at + 5;
    if (!ok) std::printf("fleet: not every record arrived within %.0f s of the producers' end\n", plan.deadline);
    std::printf("fleet: %d hosts x %d producers x %d records at %d/s each; batch %d\n", plan.hosts, plan.producers,
                plan.records, plan.rate, plan.batch);
    std::printf("faults: collector A killed at %.1f s, back at %.1f s; host1 cut %.1f-%.1f s; host%d's forwarder "
                "killed at %.1f s\n", killed_at, back_at, plan.cut, plan.cut + plan.cut_for, 2 % plan.hosts,
                plan.kill_forwarder);
    std::printf("%-6s %9s %8s %8s %10s %9s %11s %11s %9s\n", "host", "records", "missing", "failed", "duplicates",
                "bound", "to B (s)", "back (s)", "reports");
    for (int i = 0; i < plan.hosts; ++i) {
        long m = 0, d = 0;
        std::string first_missing;
        std::sort(hosts[i].lost.begin(), hosts[i].lost.end());
        for (long n = 0; n < (long)plan.producers * plan.records; ++n) {
            auto it = count[i].find(n);
            if (it == count[i].end() && std::binary_search(hosts[i].lost.begin(), hosts[i].lost.end(), n)) continue;
            if (it == count[i].end() && ++m <= 5)
                first_missing += " p" + std::to_string(n / plan.records) + " r" + std::to_string(n % plan.records);
            else if (it != count[i].end()) d += it->second - 1;
        }
        if (m > 0) std::printf("host%d misses%s%s\n", i, first_missing.c_str(), m > 5 ? " ..." : "");
        // A batch at most again for each interruption: the collector's death, and
        // this host's cut or killed forwarder.
        int interruptions = 1 + (i == 1) + (i == 2 % plan.hosts);
        long bound = (long)interruptions * plan.batch;
        size_t reports = count_in(hosts[i].log, "tembra-forward:");
        std::printf("host%-2d %9ld %8ld %8d %10ld %9ld %11.2f %11.2f %9zu\n", i, (long)plan.producers * plan.records,
                    m, hosts[i].failed, d, bound, to_b[i], back_to_a[i], reports);
        const struct {
            bool holds;
            const char *what;
        } checks[] = {{m == 0, "records missing"},
                      {(int)hosts[i].lost.size() == hosts[i].failed, "failed posts not all named"},
                      {d <= bound, "more duplicates than a batch per interruption"},
                      {to_b[i] >= 0, "nothing reached the second collector"},
                      {!must_return || (back_to_a[i] >= 0 && back_to_a[i] <= 5),
                       "not back to the first collector within 5 s"}};
        for (const auto &c : checks)
            if (!c.holds) std::printf("host%d: %s\n", i, c.what);
        for (const auto &c : checks) ok = ok && c.holds;
        failed += hosts[i].failed, missing += m, duplicates += d;
    }
    if (!must_return)
        std::printf("fleet: the producers ended within 5 s of the first collector's return: the way back is "
                    "not checked\n");
    double elapsed = done_at > 0 ? done_at : run::seconds() - t0;
    std::printf("records %ld (posts the logger reported failed: %ld, left out), arrived %ld, missing %ld, "
                "duplicates %ld\n", expected, failed, arrivals, missing, duplicates);
    std::printf("records/s in all: %.0f (every record in the collectors %.1f s after the start; produced at %d/s)\n",
                (double)(expected - failed) / elapsed, elapsed, plan.hosts * plan.producers * plan.rate);
    double worst_to_b = *std::max_element(to_b.begin(), to_b.end());
    double worst_back = *std::max_element(back_to_a.begin(), back_to_a.end());
    std::printf("fail-over to B: at most %.2f s; back to A: at most %.2f s after it returned\n", worst_to_b, worst_back);
    std::printf("collector CPU: A %.2f s, B %.2f s for %ld messages: %.1f us per message\n", cpu_a, cpu_b, arrivals,
                arrivals ? (cpu_a + cpu_b) * 1e6 / (double)arrivals : 0.0);
    std::printf("fleet: %s\n", ok ? "PASSED" : "FAILED");
    if (!ok)
        for (Host &h : hosts) std::system(("tail -n 20 " + h.log + " >&2").c_str());
    return ok ? 0 : 1;
}
