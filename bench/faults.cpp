// The fault run: each fault a log daemon meets, done to the real tembra-drain
// in private namespaces, with every numbered line accounted for.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <mqueue.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "files.h"
#include "logger/logger.h"
#include "run.h"
#include "sandbox.h"
#include "tally.h"

namespace {

const std::string kDir = "/var/log/Tembra";
const std::string kErr = "/var/log/drain.err";
const int kKillBound = 16;  // lines a killed drain may lose at most
long stock_msg_max = 10;

struct Row {
    std::string fault;
    Count count;
    bool counted = true;  // false where the row checks a property, not lines
    bool ok = true;       // the row's own check beyond the counts
    std::string note;
    explicit Row(const std::string &name) : fault(name) {}
};

std::string format(const char *layout, auto... args) {
    char text[512];
    std::snprintf(text, sizeof text, layout, args...);
    return text;
}

std::string day_text() { return bed::read_file(bed::day_path()); }

long stderr_lines() { return (long)bed::count_of(bed::read_file(kErr), "\n"); }

void write_limit(const char *name, long value) {
    std::string path = std::string("/proc/sys/fs/mqueue/") + name;
    if (std::FILE *f = std::fopen(path.c_str(), "w")) {
        std::fprintf(f, "%ld", value);
        std::fclose(f);
    }
}

bool deep_queue(long depth);

// A fresh start: an empty log directory on the sandbox's tmpfs and an empty
// queue of 64 small messages, made here so that a row never waits on a
// producer or drain that found no queue memory.
void fresh() {
    mq_unlink("/mqd");
    while (umount2(kDir.c_str(), MNT_DETACH) == 0) {
    }
    if (DIR *dir = opendir(kDir.c_str())) {
        while (dirent *e = readdir(dir))
            if (e->d_name[0] != '.') unlink((kDir + "/" + e->d_name).c_str());
        closedir(dir);
    }
    chmod(kDir.c_str(), 0755);
    unlink("/var/log/target");
    deep_queue(64);
}

// A queue of small messages deep enough for every line of a row. The limit
// goes back at once, so that a drain creating a queue gets the stock depth.
bool deep_queue(long depth) {
    mq_unlink("/mqd");
    mqd_t q = (mqd_t)-1;
    // Queue memory (RLIMIT_MSGQUEUE, EMFILE when used up) is shared by every
    // process of this user, in any namespace: wait for it to be given back.
    for (int tries = 0; tries < 1200 && q == (mqd_t)-1; ++tries) {
        q = sandbox_create_queue(depth, 64);
        if (q != (mqd_t)-1) break;
        if (tries == 10) std::fprintf(stderr, "faults: waiting up to 2 minutes for queue memory: %s\n", strerror(errno));
        usleep(100000);
    }
    write_limit("msg_max", stock_msg_max);
    if (q == (mqd_t)-1) return std::perror("faults: deep queue"), false;
    mq_close(q);
    return true;
}

// A producer process posting n<first>.. through Log_Send. Paced, it posts only
// while the queue has room, waiting for room up to 3 s once; with pause_us it
// rests that long after every 16 lines, a steady flow rather than a burst.
pid_t start_producer(long first, long count, bool paced, mode_t mask = 022, long pause_us = 0) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        run::redirect(1, "/dev/null");
        run::redirect(2, "/dev/null");
        umask(mask);
        // Another process of this user may hold the queue memory for a while.
        Log_Init();
        for (int tries = 0; tries < 1200 && mqd == (mqd_t)-1; ++tries) usleep(100000), Log_Init();
        auto room = [] {
            mq_attr a{};
            return mq_getattr(mqd, &a) == 0 && a.mq_curmsgs < a.mq_maxmsg;
        };
        for (long i = 0; i < count; ++i) {
            if (paced) paced = run::wait_for(room, 3000);
            Log_Send(LogInfo, LogProgram, "n%d", (int)(first + i));
            if (pause_us && i % 16 == 15) usleep(pause_us);
        }
        std::fflush(nullptr);
        _exit(0);
    }
    return pid;
}

void produce(long first, long count, bool paced, mode_t mask = 022) {
    run::reap(start_producer(first, count, paced, mask), 60000);
}

pid_t start_drain(bool follow, const std::function<void()> &before_exec = {}) {
    std::vector<std::string> argv = {"tembra-drain"};
    if (follow) argv.push_back("--follow");
    pid_t pid = run::start(argv, "/dev/null", kErr, nullptr, before_exec);
    if (follow) run::wait_for([] { return run::pending() >= 0; }, 2000);
    return pid;
}

int stop(pid_t drain) {
    kill(drain, SIGTERM);
    return run::reap(drain);
}

bool all_in(long posted, const std::vector<std::string> &texts) { return written_now(posted, texts) == posted; }

std::string exit_text(int status) {
    return status > 128 ? format("killed by signal %d", status - 128) : format("exit %d", status);
}

// --- the rows ---------------------------------------------------------------

void mount_small() {
    if (mount("faults-full", kDir.c_str(), "tmpfs", 0, "size=16k,mode=0755") != 0) std::perror("faults: mount");
}
void space_returns() {
    if (mount(nullptr, kDir.c_str(), nullptr, MS_REMOUNT, "size=4m,mode=0755") != 0) std::perror("faults: remount");
}

Row full_disk_once() {
    const long n = 1000;
    Row row{"full disk (16 KiB tmpfs), 1,000 lines, once, then space returns"};
    fresh();
    mount_small();
    if (!deep_queue(n + 24)) return row.ok = false, row.note = "no queue memory for the row", row;
    produce(0, n, false);
    int full = run::reap(start_drain(false));
    long while_full = written_now(n, {day_text()});
    long reports = stderr_lines();
    space_returns();
    int after = run::reap(start_drain(false));
    row.count = tally(n, {day_text()});
    row.ok = full == 1 && after == 0;
    row.note = format("while full: %s, %ld in the file, %ld stderr lines; then %s", exit_text(full).c_str(),
                      while_full, reports, exit_text(after).c_str());
    return row;
}

// Samples the file and the queue until neither moves for 300 ms.
void settle(long posted) {
    long last_file = -1, last_queue = -1;
    double still_since = run::seconds(), deadline = run::seconds() + 5;
    while (run::seconds() < deadline && run::seconds() - still_since < 0.3) {
        long f = written_now(posted, {day_text()}), q = run::pending();
        if (f != last_file || q != last_queue) still_since = run::seconds();
        last_file = f, last_queue = q;
        usleep(20000);
    }
}

Row full_disk_follow() {
    const long n = 1000;
    Row row{"full disk (16 KiB tmpfs), 1,000 lines, --follow, then space returns"};
    fresh();
    mount_small();
    if (!deep_queue(n + 24)) return row.ok = false, row.note = "no queue memory for the row", row;
    pid_t drain = start_drain(true);
    produce(0, n, false);
    settle(n);
    long while_full = written_now(n, {day_text()}), waiting = run::pending(), reports = stderr_lines();
    double t0 = run::seconds();
    space_returns();
    bool caught_up = run::wait_for([&] { return all_in(n, {day_text()}); }, 5000);
    double took = run::seconds() - t0;
    int status = stop(drain);
    row.count = tally(n, {day_text()});
    row.ok = caught_up && took <= 2.0 && status == 0;
    row.note = format("while full: %ld in the file, %ld waiting in the queue, %ld stderr lines; ", while_full,
                      waiting, reports) +
               (caught_up ? format("all in the file %.2f s after space returned", took)
                          : std::string("not all in the file 5 s after space returned")) +
               "; " + exit_text(status);
    return row;
}

// rm or mv of the day's file under --follow: 100 lines before, 100 after.
Row file_moved(bool rename_it) {
    const long half = 100;
    Row row{rename_it ? "day's file renamed (mv f f.1) under --follow" : "day's file removed (rm) under --follow"};
    fresh();
    const std::string path = bed::day_path(), moved = path + ".1";
    pid_t drain = start_drain(true);
    produce(0, half, true);
    run::wait_for([&] { return all_in(half, {day_text()}); }, 2000);
    std::string before = day_text();
    if (rename_it) rename(path.c_str(), moved.c_str());
    else unlink(path.c_str());
    usleep(100000);
    produce(half, half, true);
    run::wait_for([&] { return all_in(2 * half, {before, day_text()}); }, 2000);
    int status = stop(drain);
    std::string later_in_moved = rename_it ? bed::read_file(moved).substr(before.size()) : "";
    row.count = tally(2 * half, {before, day_text()}, {later_in_moved});
    row.ok = status == 0;
    row.note = format("%ld of the %ld later lines at the day's path; %s", written_now(2 * half, {day_text()}), half,
                      exit_text(status).c_str());
    return row;
}

Row hangup() {
    const long half = 100;
    Row row{"SIGHUP to --follow"};
    fresh();
    pid_t drain = start_drain(true);
    produce(0, half, true);
    run::wait_for([&] { return all_in(half, {day_text()}); }, 2000);
    kill(drain, SIGHUP);
    usleep(100000);
    int status = 0;
    bool alive = !run::ended(drain, &status);
    produce(half, half, true);
    run::wait_for([&] { return all_in(2 * half, {day_text()}); }, 2000);
    if (alive) status = stop(drain);
    row.count = tally(2 * half, {day_text()});
    row.ok = alive && status == 0;
    row.note = alive ? "running after SIGHUP; " + exit_text(status) + " on SIGTERM"
                     : "ended by SIGHUP: " + exit_text(status);
    return row;
}

// "/mqd" unlinked with 5 lines pending in it, then created anew by a producer.
Row queue_replaced() {
    Row row{"\"/mqd\" removed with 5 lines pending, created again by a producer, 100 lines"};
    fresh();
    pid_t drain = start_drain(true);
    produce(0, 10, true);
    run::wait_for([&] { return all_in(10, {day_text()}); }, 2000);
    kill(drain, SIGSTOP);
    produce(10, 5, false);
    mq_unlink("/mqd");
    kill(drain, SIGCONT);
    double t0 = run::seconds();
    produce(15, 100, true);
    bool caught_up = run::wait_for([&] { return all_in(115, {day_text()}); }, 3000);
    double took = run::seconds() - t0;
    int status = stop(drain);
    row.count = tally(115, {day_text()});
    row.ok = caught_up && status == 0;
    row.note = (caught_up ? format("all in the file %.2f s after the new queue's first post", took)
                          : std::string("not all in the file 3 s after the new queue's first post")) +
               "; " + exit_text(status);
    return row;
}

// A drain under a steady flow of 2,000 lines, killed at a random moment and
// started again at once, as a service manager would.
Count killed_in_flow(std::mt19937 &random, bool *mid) {
    const long n = 2000;
    fresh();
    if (!deep_queue(256)) return Count{};
    pid_t drain = start_drain(true);
    pid_t producer = start_producer(0, n, true, 022, 100);
    usleep(std::uniform_int_distribution<long>(1000, 20000)(random));
    kill(drain, SIGKILL);
    run::reap(drain);
    int status = 0;
    *mid = !run::ended(producer, &status);
    drain = start_drain(true);
    if (*mid) run::reap(producer, 60000);
    run::wait_for([] { return run::pending() == 0; }, 2000);
    stop(drain);
    return tally(n, {day_text()});
}

// One drain of 200 pending lines, killed by strace at its when-th write to
// the day's file: the lines it holds then are the most it can lose.
Count killed_at_write(int when, bool *killed) {
    const long n = 200;
    fresh();
    if (!deep_queue(256)) return Count{};
    produce(0, n, false);
    std::string inject = format("inject=write,writev,pwrite64:signal=KILL:when=%d", when);
    int status = run::reap(run::start({"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-P", bed::day_path(), "-e",
                          "trace=write,writev,pwrite64", "-e", inject, run::program("tembra-drain")},
                         "/dev/null", kErr));
    *killed = status == 128 + SIGKILL;  // strace ends as its tracee did
    return tally(n, {day_text()});
}

Row sigkill() {
    Row row("SIGKILL of the drain: 30 at random moments of a steady flow, then at its 1st-3rd write");
    std::mt19937 random(std::random_device{}());
    long worst_random = 0, worst_write = 0;
    int mid = 0;
    for (int i = 0; i < 30; ++i) {
        bool moving = false;
        Count c = killed_in_flow(random, &moving);
        mid += moving;
        worst_random = std::max(worst_random, c.lost);
        row.count += c;
    }
    int killed_at_writes = 0;
    for (int when = 1; when <= 3; ++when) {
        bool killed = false;
        Count c = killed_at_write(when, &killed);
        killed_at_writes += killed;
        worst_write = std::max(worst_write, c.lost);
        row.count += c;
    }
    row.ok = worst_random <= kKillBound && worst_write <= kKillBound && killed_at_writes == 3;
    row.note = format("largest loss: %ld at random moments (%d of 30 kills while lines flowed), %ld at a write "
                      "(%d of 3 drains killed there); bound %d",
                      worst_random, mid, worst_write, killed_at_writes, kKillBound);
    return row;
}

// A SIGKILL inside a write(2) that crosses a page boundary leaves the file
// ending inside a line; the next drain must not glue its first line to it.
Row fragment_left() {
    const long n = 10;
    const std::string fragment = "[INFO] 2026-12-08 12:01:16 n99999 (PRO";
    Row row("day's file ending inside a line (a kill mid-write leaves it so), then a drain of 10 lines");
    fresh();
    int fd = open(bed::day_path().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0640);
    if (fd < 0 || write(fd, fragment.data(), fragment.size()) != (ssize_t)fragment.size()) row.ok = false;
    close(fd);
    produce(0, n, false);
    int status = run::reap(start_drain(false));
    std::string text = day_text();
    row.count = tally(n, {text});
    // The fragment itself may stay as a line of its own, or be cut away.
    if (text.starts_with(fragment + "\n")) --row.count.torn;
    row.note = format("the file begins %s; drain %s",
                      text.starts_with(fragment + "\n") ? "with the fragment on a line of its own"
                      : text.starts_with(fragment)       ? "with the fragment glued to the next line"
                                                         : "without the fragment",
                      exit_text(status).c_str());
    return row;
}

Row symlink_planted() {
    const long n = 10;
    Row row{"symlink planted at the day's path (directory mode 1777), drain as root"};
    fresh();
    chmod(kDir.c_str(), 01777);
    int target = open("/var/log/target", O_WRONLY | O_CREAT | O_TRUNC, 0600);
    close(target);
    symlink("/var/log/target", bed::day_path().c_str());
    produce(0, n, false);
    int status = run::reap(start_drain(false));
    struct stat st {};
    lstat(bed::day_path().c_str(), &st);
    row.count = tally(n, {}, {bed::read_file("/var/log/target")});
    row.ok = row.count.astray == 0;
    row.note = format("target of the link: %ld bytes; drain %s", (long)bed::read_file("/var/log/target").size(),
                      exit_text(status).c_str());
    return row;
}

Row exec_after_init() {
    Row row{"Log_Init, then exec of another program"};
    row.counted = false;
    fresh();
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        run::redirect(1, "/dev/null");
        run::redirect(2, "/dev/null");
        Log_Init();
        execl("/bin/sleep", "sleep", "5", (char *)nullptr);
        _exit(127);
    }
    std::string proc = "/proc/" + std::to_string(pid);
    bool execed = run::wait_for([&] { return bed::read_file(proc + "/comm") == "sleep\n"; }, 2000);
    int inherited = 0, fds = 0;
    if (DIR *dir = opendir((proc + "/fd").c_str())) {
        while (dirent *e = readdir(dir)) {
            char target[512] = {};
            if (e->d_name[0] == '.' ||
                readlink((proc + "/fd/" + e->d_name).c_str(), target, sizeof target - 1) < 0)
                continue;
            ++fds;
            inherited += std::strncmp(target, "/var/log/Tembra/", 16) == 0 || std::strcmp(target, "/mqd") == 0;
        }
        closedir(dir);
    }
    kill(pid, SIGKILL);
    run::reap(pid);
    row.ok = execed && fds > 0 && inherited == 0;
    row.note = format("the exec'd program holds %d descriptors, %d of them the log file or the queue", fds, inherited);
    return row;
}

Row umask_000() {
    const long n = 10;
    Row row{"umask 000 (the file created by a producer, then by the drain)"};
    mode_t modes[2] = {0, 0};
    for (int by_drain = 0; by_drain < 2; ++by_drain) {
        fresh();
        if (by_drain) {
            run::reap(start_drain(false, [] { umask(0); }));
            produce(0, n, false, 0);
        } else {
            produce(0, n, false, 0);
        }
        struct stat st {};
        stat(bed::day_path().c_str(), &st);
        modes[by_drain] = st.st_mode & 07777;
        run::reap(start_drain(false, [] { umask(0); }));
        if (by_drain) row.count = tally(n, {day_text()});
    }
    row.ok = !(modes[0] & 0002) && !(modes[1] & 0002);
    row.note = format("file mode %04o created by a producer, %04o by the drain", modes[0], modes[1]);
    return row;
}

void print(const Row &r) {
    const Count &c = r.count;
    if (r.counted)
        std::printf("| %s | %ld | %ld | %ld | %ld | %ld | %ld | %ld | %s | %s |\n", r.fault.c_str(), c.posted, c.written,
                    c.queued, c.lost, c.torn, c.duplicated, c.astray, r.ok ? "ok" : "FAIL", r.note.c_str());
    else
        std::printf("| %s | - | - | - | - | - | - | - | %s | %s |\n", r.fault.c_str(), r.ok ? "ok" : "FAIL",
                    r.note.c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **) {
    if (argc > 1) return std::fprintf(stderr, "usage: logger_faults\n"), 2;
    sandbox_enter();
    if (std::FILE *f = std::fopen("/proc/sys/fs/mqueue/msg_max", "r")) {
        if (std::fscanf(f, "%ld", &stock_msg_max) != 1) stock_msg_max = 10;
        std::fclose(f);
    }
    std::printf("| fault | posted | written | back in the queue | lost | torn | duplicated | in another file | "
                "result | what else was seen |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    bool sound = true;
    using Fault = Row (*)();
    for (Fault fault : {full_disk_once, full_disk_follow, +[] { return file_moved(false); },
                        +[] { return file_moved(true); }, hangup, queue_replaced, sigkill, fragment_left, symlink_planted,
                        exec_after_init, umask_000}) {
        Row r = fault();
        bool clean = r.fault.starts_with("SIGKILL") || (r.count.lost == 0 && r.count.astray == 0);
        r.ok = r.ok && clean && r.count.torn == 0 && r.count.duplicated == 0;
        print(r);
        sound &= r.ok;
    }
    fresh();
    mq_unlink("/mqd");
    if (!sound) std::printf("\nFAIL: a fault lost, tore, duplicated or misplaced lines, or its own check failed\n");
    return sound ? 0 : 1;
}
