// Starting and stopping rsyslogd as the test collector: its network namespace,
// certificates, configuration, readiness and output.
#include "collector.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace collector {

namespace {

bool accepts(const std::string &address, int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
    bool ok = connect(fd, (sockaddr *)&addr, sizeof addr) == 0;
    close(fd);
    return ok;
}

void write_text(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool certtool(const std::string &args) {
    std::string command = "certtool " + args + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

// rsyslog's own messages go to the default ruleset; what the inputs take, to "taken".
std::string config(const std::string &dir, const Ports &p) {
    std::string tls = "streamDriver.name=\"gtls\" streamDriver.mode=\"1\" "
                      "streamDriver.CAFile=\"" + dir + "/ca.pem\" "
                      "streamDriver.CertFile=\"" + dir + "/server.pem\" "
                      "streamDriver.KeyFile=\"" + dir + "/server.key\" streamDriver.authMode=";
    std::string action = "action(type=\"omfile\" file=\"" + dir + "/received.log\" "
                         "template=\"RSYSLOG_SyslogProtocol23Format\")";
    std::string at = "input(type=\"imtcp\" address=\"" + p.address + "\" port=\"";
    return "global(workDirectory=\"" + dir + "\")\n"
           "main_queue(queue.type=\"Direct\")\n"
           "module(load=\"imtcp\")\n"
           "module(load=\"imrelp\")\n"
           + at + std::to_string(p.tcp) + "\" ruleset=\"taken\")\n"
           + at + std::to_string(p.tls) + "\" ruleset=\"taken\" " + tls + "\"anon\")\n"
           + at + std::to_string(p.tls_client) + "\" ruleset=\"taken\" " + tls + "\"x509/certvalid\")\n"
           "input(type=\"imrelp\" address=\"" + p.address + "\" port=\"" + std::to_string(p.relp) +
           "\" ruleset=\"taken\")\n"
           "ruleset(name=\"taken\") {\n  " + action + "\n}\n"
           "action(type=\"omfile\" file=\"" + dir + "/rsyslogd.log\")\n";
}

}  // namespace

bool enter_network() {
    if (unshare(CLONE_NEWNET) != 0) return false;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq lo{};
    std::strcpy(lo.ifr_name, "lo");
    bool up = ioctl(fd, SIOCGIFFLAGS, &lo) == 0;
    lo.ifr_flags |= IFF_UP;
    up = up && ioctl(fd, SIOCSIFFLAGS, &lo) == 0;
    close(fd);
    return up;
}

bool make_certificates(const std::string &dir) {
    const std::string d = dir + "/";
    write_text(d + "ca.tmpl", "cn = \"tembra test ca\"\nca\ncert_signing_key\nexpiration_days = 2\n");
    write_text(d + "peer.tmpl",
               "cn = \"localhost\"\ndns_name = \"localhost\"\nip_address = \"127.0.0.1\"\n"
               "tls_www_server\ntls_www_client\nsigning_key\nencryption_key\n"
               "expiration_days = 2\n");
    bool ok = certtool("--generate-privkey --key-type ecdsa --outfile " + d + "ca.key") &&
              certtool("--generate-self-signed --load-privkey " + d + "ca.key --template " + d +
                       "ca.tmpl --outfile " + d + "ca.pem");
    for (const char *name : {"server", "client"}) {
        std::string base = d + name;
        ok = ok && certtool("--generate-privkey --key-type ecdsa --outfile " + base + ".key") &&
             certtool("--generate-certificate --load-privkey " + base + ".key --load-ca-certificate " +
                      d + "ca.pem --load-ca-privkey " + d + "ca.key --template " + d +
                      "peer.tmpl --outfile " + base + ".pem");
    }
    return ok;
}

Collector::Collector(std::string dir, Ports ports)
    : dir_(std::move(dir)), ports_(ports) {
    mkdir(dir_.c_str(), 0700);
    struct stat st;
    if (stat(ca().c_str(), &st) != 0 && !make_certificates(dir_))
        std::fprintf(stderr, "collector: certtool failed in %s\n", dir_.c_str());
    write_text(dir_ + "/rsyslog.conf", config(dir_, ports_));
}

Collector::~Collector() {
    if (running()) stop(SIGTERM);
}

bool Collector::start() {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        int err = open((dir_ + "/stderr").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(err, 2);
        std::string conf = dir_ + "/rsyslog.conf", pidfile = dir_ + "/rsyslogd.pid";
        execl("/usr/sbin/rsyslogd", "rsyslogd", "-n", "-f", conf.c_str(), "-i", pidfile.c_str(),
              (char *)nullptr);
        _exit(127);
    }
    pid_ = pid;
    for (int waited = 0; waited < 10000; waited += 10) {
        const std::string &a = ports_.address;
        if (accepts(a, ports_.tcp) && accepts(a, ports_.tls) && accepts(a, ports_.relp) &&
            accepts(a, ports_.tls_client))
            return true;
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) break;
        usleep(10000);
    }
    if (waitpid(pid_, nullptr, WNOHANG) == 0) stop(SIGKILL);
    pid_ = -1;
    return false;
}

void Collector::stop(int sig) {
    if (pid_ <= 0) return;
    kill(pid_, sig);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    unlink((dir_ + "/rsyslogd.pid").c_str());
}

std::string Collector::url(const char *scheme) const {
    std::string s = scheme;
    int port = s == "tcp" ? ports_.tcp : s == "tls" ? ports_.tls : ports_.relp;
    return s + "://" + ports_.address + ":" + std::to_string(port);
}

std::vector<std::string> Collector::received() const {
    std::vector<std::string> lines;
    std::istringstream in(read_text(output_path()));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string Collector::diagnostics() const {
    return read_text(dir_ + "/stderr") + read_text(dir_ + "/rsyslogd.log");
}

}  // namespace collector
