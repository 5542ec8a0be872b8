// Benchmarks: Log_Send against the system calls a record cannot avoid,
// composition against a bare copy, the drain against a bare loop of receives
// and one write per 16 lines, the path check of a wake-up, the lock's share of
// a record, and a count of heap allocations. Prints the ratios last.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <mqueue.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <map>
#include <vector>
#include <algorithm>
#include <string>
#include <thread>

#include "logger/compose.h"
#include "logger/logger.h"
#include "logger/state.h"
#include "fill.h"
#include "sandbox.h"

extern std::atomic<bool> alloc_counting;
extern std::atomic<long> alloc_count;

namespace {

// As deep a queue as RLIMIT_MSGQUEUE allows for short lines, so that the
// timed loops rarely pause to empty it.
constexpr long kDepth = 4096;
constexpr long kMessageSize = 64;
constexpr long kBatch = 4000;
constexpr long kLinesPerWrite = 16;  // the drain's batch
char demo_line[LOG_LINE_SIZE];
size_t demo_len;
std::string long_text(8000, 'x');

long empty_queue() {
    char buf[kMessageSize];
    unsigned prio;
    long n = 0;
    while (mq_receive(mqd, buf, sizeof buf, &prio) >= 0) ++n;
    return n;
}

void fill_queue(long count) {
    for (long i = 0; i < count; ++i) mq_send(mqd, demo_line, demo_len, 1);
}

void set_up() {
    mq_unlink("/mqd");
    mqd_t q = sandbox_create_queue(kDepth, kMessageSize);
    if (q == (mqd_t)-1) std::perror("bench queue"), std::exit(1);
    mq_close(q);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    Log_Init();
    demo_len = fill_line(LogDebug, LogServer, "yes i succeed!");
    std::memcpy(demo_line, LogLine, demo_len + 1);
    std::memset(LogLine, 0, sizeof LogLine);
}

void BM_LogSend(benchmark::State &state) {
    long sent = 0;
    for (auto _ : state) {
        Log_Send(LogDebug, LogServer, "yes i succeed!");
        if (++sent == kDepth) {
            state.PauseTiming();
            if (empty_queue() != sent) state.SkipWithError("a post failed");
            sent = 0;
            state.ResumeTiming();
        }
    }
    empty_queue();
}

// The reader of syslog(3)'s datagrams, at kLogSocket: a thread of this
// process takes and drops them. With LOG_PERROR syslog(3) also writes the
// message to stderr (/dev/null here), as Log_Send's trace does.
const char kLogSocket[] = "/var/log/bench-log.sock";
void start_log_reader() {
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    std::strcpy(at.sun_path, kLogSocket);
    if (fd < 0 || bind(fd, (sockaddr *)&at, sizeof at) != 0) std::perror("bench log socket"), std::exit(1);
    std::thread([fd] {
        char datagram[2048];
        while (recv(fd, datagram, sizeof datagram, 0) >= 0) {
        }
    }).detach();
    sandbox_private_dev_log(kLogSocket);
}

void BM_ComposeShort(benchmark::State &state) {
    for (auto _ : state) benchmark::DoNotOptimize(fill_line(LogDebug, LogServer, "yes i succeed!"));
}

void BM_ComposeLong(benchmark::State &state) {
    for (auto _ : state) benchmark::DoNotOptimize(fill_line(LogDebug, LogServer, "%s", long_text.c_str()));
}

void BM_CopyLong(benchmark::State &state) {
    static char target[LOG_LINE_SIZE];
    for (auto _ : state) {
        const char *text = long_text.c_str();
        benchmark::DoNotOptimize(text);
        size_t n = std::strlen(text);
        std::memcpy(target, text, n + 1);
        benchmark::ClobberMemory();
    }
}

void BM_LogWrite(benchmark::State &state) {
    for (auto _ : state) {
        state.PauseTiming();
        fill_queue(kBatch);
        ftruncate(fileno(logfile), 0);
        state.ResumeTiming();
        Log_Write();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_BareDrain(benchmark::State &state) {
    char buf[LOG_LINE_SIZE];
    unsigned prio;
    for (auto _ : state) {
        state.PauseTiming();
        fill_queue(kBatch);
        ftruncate(fileno(logfile), 0);
        state.ResumeTiming();
        ssize_t n;
        while ((n = mq_receive(mqd, buf, sizeof buf, &prio)) > 0) std::fwrite(buf, 1, (size_t)n, logfile);
        std::fflush(logfile);
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

// Seconds on the monotonic clock, read without a system call.
double now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

// The minimal loop: receives until the queue is empty, one write(2) per 16 lines.
void minimal_wake() {
    static char buf[kLinesPerWrite * LOG_LINE_SIZE];
    unsigned prio;
    for (;;) {
        size_t bytes = 0;
        long lines = 0;
        ssize_t n = 0;
        while (lines < kLinesPerWrite && (n = mq_receive(mqd, buf + bytes, LOG_LINE_SIZE, &prio)) > 0) {
            bytes += (size_t)n;
            ++lines;
        }
        if (bytes > 0) benchmark::DoNotOptimize(write(fileno(logfile), buf, bytes));
        if (lines < kLinesPerWrite) break;
    }
}

// The drain's own shape without the module: up to 16 receives, one write(2).
void BM_BareBatches(benchmark::State &state) {
    for (auto _ : state) {
        state.PauseTiming();
        fill_queue(kBatch);
        ftruncate(fileno(logfile), 0);
        state.ResumeTiming();
        minimal_wake();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_LogDrain(benchmark::State &state) {
    for (auto _ : state) {
        state.PauseTiming();
        fill_queue(kBatch);
        ftruncate(fileno(logfile), 0);
        state.ResumeTiming();
        benchmark::DoNotOptimize(Log_Drain());
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

// One wake-up of a following drain that finds one line.
void BM_WakeUpOneLine(benchmark::State &state) {
    for (auto _ : state) {
        state.PauseTiming();
        fill_queue(1);
        state.ResumeTiming();
        benchmark::DoNotOptimize(Log_Drain());
    }
}

// What each wake-up spends on checking that the path still names the file.
void BM_PathCheck(benchmark::State &state) {
    for (auto _ : state) log_follow_path();
}

void BM_LockUnlock(benchmark::State &state) {
    static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    for (auto _ : state) {
        pthread_mutex_lock(&lock);
        pthread_mutex_unlock(&lock);
        benchmark::ClobberMemory();
    }
}

BENCHMARK(BM_LogSend)->Repetitions(5);
BENCHMARK(BM_ComposeShort);
BENCHMARK(BM_ComposeLong);
BENCHMARK(BM_CopyLong);
BENCHMARK(BM_LogWrite);
BENCHMARK(BM_BareDrain);
// The drain's ratio is judged against a target, so its median is taken over more runs.
BENCHMARK(BM_LogDrain)->Repetitions(9);
BENCHMARK(BM_BareBatches)->Repetitions(9);
BENCHMARK(BM_WakeUpOneLine);
BENCHMARK(BM_PathCheck);
BENCHMARK(BM_LockUnlock);

// Keeps each benchmark's real time per iteration in ns (the median when repeated),
// and its CPU time under "<name>!cpu".
class Recorder : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> ns;
    Recorder() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            std::string name = run.run_name.function_name;
            bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Iteration ? !ns.count(name + "!median") : median) {
                double unit = run.time_unit == benchmark::kMicrosecond ? 1e3 : run.time_unit == benchmark::kMillisecond ? 1e6 : 1;
                ns[name] = run.GetAdjustedRealTime() * unit;
                ns[name + "!cpu"] = run.GetAdjustedCPUTime() * unit;
                if (median) ns[name + "!median"] = 1;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

int console = 1;  // the real standard output; fd 1 itself goes to /dev/null

// The benchmark library's table, written to the console descriptor itself, so
// that it and the ratios share one file offset when the output is a file.
class ConsoleBuffer : public std::streambuf {
  protected:
    int overflow(int c) override {
        char one = (char)c;
        return c == EOF || write(console, &one, 1) == 1 ? c : EOF;
    }
    std::streamsize xsputn(const char *text, std::streamsize n) override { return write(console, text, (size_t)n); }
};

bool ratio(const char *what, double value, double target, bool percent = false) {
    bool met = percent ? value < target : value <= target;
    if (percent)
        dprintf(console, "%-46s %7.2f %%  target < %.0f %%   %s\n", what, value * 100, target * 100,
                met ? "met" : "NOT MET");
    else
        dprintf(console, "%-46s %7.3f    target <= %.2f  %s\n", what, value, target, met ? "met" : "NOT MET");
    return met;
}

// After a warm-up, 10,000 records and a drain of 10 must not touch the heap.
long count_allocations() {
    Log_Send(LogDebug, LogServer, "yes i succeed!");
    Log_Write();
    alloc_count = 0;
    alloc_counting = true;
    for (int i = 0; i < 10000; ++i) {
        Log_Send(LogDebug, LogServer, "yes i succeed!");
        if (i % 4000 == 3999) empty_queue();
    }
    empty_queue();
    fill_queue(10);
    Log_Write();
    alloc_counting = false;
    return alloc_count;
}

// tembra-drain --follow's wake-up: the blocking receive of its own that it
// sleeps in, then the drain from the line received, which looks at the path
// only after the file's watch told of a change.
void drain_wake(mqd_t sleeper) {
    static char line[LOG_LINE_SIZE];
    unsigned int priority;
    timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += 1;
    ssize_t got = mq_timedreceive(sleeper, line, sizeof line, &priority, &until);
    if (got > 0) benchmark::DoNotOptimize(log_drain_with(false, line, (size_t)got, priority));
}

// Seconds that one wake-up for lines found in the queue takes. The file is
// appended to, as a following drain's is, and emptied, untimed, past 1 MiB.
template <typename Wake>
double time_wake(long lines, Wake wake) {
    fill_queue(lines);
    if (lseek(fileno(logfile), 0, SEEK_END) > (1 << 20)) ftruncate(fileno(logfile), 0);
    double start = now();
    wake();
    return now() - start;
}

// Seconds that kRound posts take; the queue is emptied afterwards, untimed.
constexpr long kRound = 1000;
template <typename Post>
double time_posts(Post post) {
    double start = now();
    for (long i = 0; i < kRound; ++i) post();
    double took = now() - start;
    empty_queue();
    return took;
}

// Ours against a reference, each a callable giving the seconds of one round
// of `units` calls or lines, taken in turn so that other load on the machine
// meets both alike: the ratio of the two sums in each of 9 blocks of rounds,
// then the median and range of those ratios, printed against the target.
template <typename Ours, typename Reference>
bool in_turn(const char *what, int rounds, long units, double target, Ours ours, Reference reference) {
    std::vector<double> ratios;
    double ours_sum = 0, reference_sum = 0;
    for (int block = 0; block < 9; ++block) {
        double a = 0, b = 0;
        for (int round = 0; round < rounds; ++round) b += reference(), a += ours();
        ratios.push_back(a / b);
        ours_sum += a, reference_sum += b;
    }
    std::sort(ratios.begin(), ratios.end());
    bool met = ratio(what, ratios[4], target);
    double each = 1e9 / (9.0 * rounds * (double)units);
    dprintf(console, "%-46s range %.3f-%.3f over 9 blocks; %.1f ns against %.1f ns each\n", "", ratios.front(),
            ratios.back(), ours_sum * each, reference_sum * each);
    return met;
}

// syslog(3) of the demo's message, opened with options for each round.
double time_syslog(int options) {
    openlog("bench", LOG_NDELAY | options, LOG_USER);
    double took = time_posts([] { syslog(LOG_DEBUG, "yes i succeed!"); });
    closelog();
    return took;
}

// The per-call and drain ratios with a target.
bool compare_calls() {
    auto send = [] { Log_Send(LogDebug, LogServer, "yes i succeed!"); };
    auto quiet = [&] {
        Log_SetEcho(0), Log_SetTrace(0);
        double took = time_posts(send);
        Log_SetEcho(1), Log_SetTrace(1);
        return took;
    };
    auto floor = [] {
        return time_posts([] {
            char trace[LOG_LINE_SIZE + 64];
            int n = std::snprintf(trace, sizeof trace, "LogLine: %s %ld", demo_line, (long)demo_len);
            benchmark::DoNotOptimize(write(2, trace, (size_t)n));
            mq_send(mqd, demo_line, demo_len, 1);
        });
    };
    auto drain = [](auto way) { return time_wake(kBatch, way); };
    bool met = true;
    met &= in_turn("Log_Send / floor (snprintf + write + mq_send)", 5, kRound, 1.15, [&] { return time_posts(send); },
                   floor);
    met &= in_turn("Log_Send, echo and trace off / syslog(3)", 5, kRound, 0.9, quiet, [] { return time_syslog(0); });
    met &= in_turn("Log_Send / syslog(3) with LOG_PERROR", 5, kRound, 0.5, [&] { return time_posts(send); },
                   [] { return time_syslog(LOG_PERROR); });
    met &= in_turn("Log_Drain / bare mq_receive + write per 16", 3, kBatch, 1.2,
                   [&] { return drain([] { benchmark::DoNotOptimize(Log_Drain()); }); },
                   [&] { return drain(minimal_wake); });
    return met;
}

// Wake-ups that find 1, 4, 16 and 64 lines: the drain's against the minimal
// loop's, in turn, 2,000 lines per block.
bool compare_wakeups() {
    mqd_t sleeper = mq_open("/mqd", O_RDONLY);
    bool met = true;
    for (long lines : {1, 4, 16, 64}) {
        char what[64];
        std::snprintf(what, sizeof what, "drain wake-up / minimal loop, %ld line%s", lines, lines > 1 ? "s" : "");
        met &= in_turn(
            what, (int)(2000 / lines), lines, 1.25, [&] { return time_wake(lines, [&] { drain_wake(sleeper); }); },
            [&] { return time_wake(lines, minimal_wake); });
    }
    mq_close(sleeper);
    return met;
}

}  // namespace

int main(int argc, char **argv) {
    sandbox_enter();
    start_log_reader();
    console = dup(1);
    set_up();
    benchmark::Initialize(&argc, argv);
    ConsoleBuffer buffer;
    std::ostream report(&buffer);
    Recorder recorder;
    recorder.SetOutputStream(&report);
    recorder.SetErrorStream(&report);
    benchmark::RunSpecifiedBenchmarks(&recorder);
    report.flush();

    auto &ns = recorder.ns;
    dprintf(console, "\n");
    ratio("8,000-byte composition / strlen + memcpy", ns["BM_ComposeLong"] / ns["BM_CopyLong"], 3.0);
    ratio("uncontended lock + unlock / Log_Send", ns["BM_LockUnlock"] / ns["BM_LogSend"], 0.03, true);
    dprintf(console, "%-46s %7.1f ns per message (Log_Write), %.1f ns (Log_Drain), %.1f ns (bare, write per 16)\n",
            "drain", ns["BM_LogWrite"] / kBatch, ns["BM_LogDrain"] / kBatch, ns["BM_BareBatches"] / kBatch);
    dprintf(console, "%-46s %7.3f    (CPU time, less exposed to other load)\n", "Log_Drain / bare, CPU time",
            ns["BM_LogDrain!cpu"] / ns["BM_BareBatches!cpu"]);
    dprintf(console, "%-46s %7.3f    (stdio's 8 KiB writes; the price of the 16-line crash bound)\n",
            "Log_Write / bare mq_receive + fwrite", ns["BM_LogWrite"] / ns["BM_BareDrain"]);
    dprintf(console, "%-46s %7.1f ns per wake-up, %.1f %% of a wake-up that drains one line (%.1f ns)\n",
            "path check", ns["BM_PathCheck"], 100 * ns["BM_PathCheck"] / ns["BM_WakeUpOneLine"],
            ns["BM_WakeUpOneLine"]);
    dprintf(console, "\nThe ratios below are taken in turn, block by block, within this run:\n");
    compare_calls();
    compare_wakeups();
    long allocations = count_allocations();
    dprintf(console, "%-46s %7ld    target 0        %s\n", "heap allocations in 10,000 Log_Send + Log_Write",
            allocations, allocations == 0 ? "met" : "NOT MET");
    if (allocations != 0) {
        dprintf(console, "FAIL: the logger allocated on the heap %ld times\n", allocations);
        return 1;
    }
    return 0;
}
