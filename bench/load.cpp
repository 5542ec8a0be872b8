// Load test: P producer processes post M records each as fast as they can
// while one tembra-drain --follow runs; every record must end up in the file
// exactly once and whole, or be counted as a failed post its producer reported.
#include <dirent.h>
#include <fcntl.h>
#include <mqueue.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "logger/logger.h"
#include "files.h"
#include "sandbox.h"

namespace {

const std::string kDir = "/var/log/Tembra/";

double seconds() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

std::string log_path() {
    std::string path;
    if (DIR *dir = opendir(kDir.c_str())) {
        while (dirent *e = readdir(dir))
            if (std::strncmp(e->d_name, "tembra-", 7) == 0) path = kDir + e->d_name;
        closedir(dir);
    }
    return path;
}

void redirect(int fd, const std::string &path) {
    int to = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(to, fd);
    close(to);
}

pid_t start_drain() {
    pid_t pid = fork();
    if (pid == 0) {
        redirect(1, "/dev/null");
        redirect(2, "/var/log/drain.err");
        std::string path = std::string(TEMBRA_BIN_DIR) + "/tembra-drain";
        execl(path.c_str(), "tembra-drain", "--follow", (char *)nullptr);
        _exit(127);
    }
    return pid;
}

pid_t start_producer(int k, int records) {
    pid_t pid = fork();
    if (pid == 0) {
        redirect(1, "/dev/null");
        redirect(2, "/var/log/producer-" + std::to_string(k) + ".err");
        Log_Init();
        for (int r = 0; r < records; ++r) Log_Send(LogWarn, LogServer, "p%d r%d", k, r);
        std::fflush(nullptr);
        _exit(0);
    }
    return pid;
}

// A line "[WARN] YYYY-MM-DD hh:mm:ss p<k> r<n> (SERVER) \n"; false when torn.
bool parse(const std::string &line, int &k, int &r) {
    static const char shape[] = "[WARN] 0000-00-00 00:00:00 ";
    if (line.size() < sizeof shape) return false;
    for (size_t i = 0; i + 1 < sizeof shape; ++i)
        if (shape[i] == '0' ? !isdigit((unsigned char)line[i]) : line[i] != shape[i]) return false;
    int used = 0;
    if (std::sscanf(line.c_str() + sizeof shape - 1, "p%d r%d%n", &k, &r, &used) != 2) return false;
    return line.compare(sizeof shape - 1 + used, std::string::npos, " (SERVER) \n") == 0;
}

struct Result {
    long written = 0, failed = 0, torn = 0, duplicated = 0, unaccounted = 0;
    double seconds = 0;
};

Result run(int producers, int records) {
    mq_unlink("/mqd");
    if (std::string old = log_path(); !old.empty()) unlink(old.c_str());
    pid_t drain = start_drain();
    for (int waited = 0; log_path().empty() && waited < 2000; ++waited) usleep(1000);

    double t0 = seconds();
    std::vector<pid_t> pids;
    for (int k = 0; k < producers; ++k) pids.push_back(start_producer(k, records));
    for (pid_t pid : pids) waitpid(pid, nullptr, 0);
    kill(drain, SIGTERM);
    waitpid(drain, nullptr, 0);
    Result result;
    result.seconds = seconds() - t0;

    std::vector<std::vector<char>> seen(producers, std::vector<char>(records, 0));
    std::istringstream file(bed::read_file(log_path()));
    for (std::string line; std::getline(file, line);) {
        line += '\n';
        int k, r;
        if (line.find(" lost: ") != std::string::npos && line.ends_with(" (PROGRAM) \n")) continue;  // a loss record
        if (!parse(line, k, r) || k < 0 || k >= producers || r < 0 || r >= records) {
            ++result.torn;
            continue;
        }
        result.duplicated += seen[k][r]++ > 0;
        ++result.written;
    }
    for (int k = 0; k < producers; ++k) {
        long failed = (long)bed::count_of(bed::read_file("/var/log/producer-" + std::to_string(k) + ".err"),
                                     " :mq_send()[Log_Send]\n");
        long written = 0;
        for (char s : seen[k]) written += s > 0;
        result.failed += failed;
        result.unaccounted += records - written - failed;
    }
    mq_unlink("/mqd");
    return result;
}

// Sets the depth that a queue created without attributes gets. The sysctls
// belong to this process's own IPC namespace.
void set_default_depth(const char *depth) {
    sandbox_raise_limit("msg_max", std::atol(depth));
    sandbox_raise_limit("msg_default", std::atol(depth));
}

}  // namespace

int main(int argc, char **argv) {
    bool quick = false;
    const char *depth = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) quick = true;
        else if (std::strcmp(argv[i], "--depth") == 0 && i + 1 < argc) depth = argv[++i];
        else return std::fprintf(stderr, "usage: logger_load [--quick] [--depth N]\n"), 2;
    }
    std::vector<int> producer_counts = quick ? std::vector<int>{2} : std::vector<int>{1, 2, 4};
    int records = quick ? 2000 : 20000;
    sandbox_enter();
    if (depth) set_default_depth(depth);
    std::printf("queue depth %s\n\n", depth ? depth : "10 (the system default)");

    std::printf("| P | M | seconds | records/s into the file | written | failed posts | torn | duplicated | unaccounted |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    bool sound = true;
    for (int producers : producer_counts) {
        Result r = run(producers, records);
        std::printf("| %d | %d | %.3f | %.0f | %ld | %ld | %ld | %ld | %ld |\n", producers, records, r.seconds,
                    r.written / r.seconds, r.written, r.failed, r.torn, r.duplicated, r.unaccounted);
        std::fflush(stdout);
        sound &= r.torn == 0 && r.duplicated == 0 && r.unaccounted == 0;
    }
    if (!sound) std::printf("FAIL: records were torn, duplicated or lost without a report\n");
    return sound ? 0 : 1;
}
