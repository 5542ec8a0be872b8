// relp:// through librelp: one session per batch, closed at its end, which waits
// for the collector's answers; the batch is confirmed when each message had a 200.
#include <stddef.h>  // librelp.h uses size_t without including it
extern "C" {         // and declares C functions without saying so
#include <librelp.h>
}
#include <sys/socket.h>

#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "transport.h"

namespace forward {

namespace {

// librelp's interface says nothing about single acknowledgements, but its debug
// hook names each response it handles ("in rsp command handler, txnr %d, code
// %d, ..."); the hook records which transactions the collector answered with 200.
struct Answers {
    std::vector<char> taken;  // by transaction number: answered 200
    std::string error;        // the first error librelp reported since the last reset
};
Answers answers;

void on_debug(char *format, ...) {
    static const char kResponse[] = "in rsp command handler, txnr ";
    if (std::strncmp(format, kResponse, sizeof kResponse - 1) != 0) return;
    va_list args;
    va_start(args, format);
    int txnr = va_arg(args, int);
    int code = va_arg(args, int);
    va_end(args);
    if (code != 200 || txnr < 0 || txnr > 10000000) return;
    if ((size_t)txnr >= answers.taken.size()) answers.taken.resize((size_t)txnr + 1, 0);
    answers.taken[(size_t)txnr] = 1;
}

void note_error(const char *where, const char *what) {
    if (answers.error.empty()) answers.error = std::string(where) + ": " + what;
}
void on_error(void *, char *object, char *message, relpRetVal) { note_error(object, message); }
void on_generic_error(char *object, char *message, relpRetVal) { note_error(object, message); }
void on_auth_error(void *, char *info, char *message, relpRetVal) { note_error(info, message); }

class Relp : public Transport {
  public:
    explicit Relp(const Settings &s) : s_(s) {
        relpEngineConstruct(&engine_);
        relpEngineSetDbgprint(engine_, on_debug);
        relpEngineSetOnErr(engine_, on_error);
        relpEngineSetOnGenericErr(engine_, on_generic_error);
        relpEngineSetOnAuthErr(engine_, on_auth_error);
        relpEngineSetEnableCmd(engine_, (unsigned char *)"syslog", eRelpCmdState_Required);
    }
    ~Relp() override {
        close();
        relpEngineDestruct(&engine_);
    }

    bool open() override {
        close();
        answers = Answers{};
        relpRetVal rc = relpEngineCltConstruct(engine_, &client_);
        if (rc == RELP_RET_OK) {
            relpCltSetTimeout(client_, kTimeoutSeconds);
            relpCltSetConnTimeout(client_, kTimeoutSeconds);
            relpCltSetWindowSize(client_, 1024);
            std::string host = s_.host, port = s_.port;
            rc = relpCltConnect(client_, AF_UNSPEC, (unsigned char *)port.data(),
                                (unsigned char *)host.data());
        }
        if (rc != RELP_RET_OK) return relp_fail("connect", rc);
        return true;
    }

    bool deliver(const std::vector<std::string> &messages) override {
        if (!client_ && !open()) return false;
        for (const std::string &m : messages) {
            relpRetVal rc = relpCltSendSyslog(client_, (unsigned char *)m.data(), m.size());
            if (rc != RELP_RET_OK) return relp_fail("send", rc);
        }
        // Closing the session waits for every response, then for the one to "close".
        relpEngineCltDestruct(engine_, &client_);
        // "open" was transaction 1, so the messages were 2 to size + 1.
        size_t taken = 0;
        for (size_t txnr = 2; txnr < messages.size() + 2 && txnr < answers.taken.size(); ++txnr)
            taken += answers.taken[txnr];
        if (taken == messages.size()) return true;
        return fail("the collector acknowledged " + std::to_string(taken) + " of " +
                    std::to_string(messages.size()) + " messages" +
                    (answers.error.empty() ? "" : " (" + answers.error + ")"));
    }

    void close() override {
        if (client_) relpEngineCltDestruct(engine_, &client_);
        client_ = nullptr;
    }

  private:
    bool relp_fail(const char *what, relpRetVal rc) {
        std::string why = !answers.error.empty() ? answers.error
                                                 : std::string(what) + ": librelp error " + std::to_string(rc);
        return fail(why);
    }

    const Settings &s_;
    relpEngine_t *engine_ = nullptr;
    relpClt_t *client_ = nullptr;
};

}  // namespace

std::unique_ptr<Transport> make_relp(const Settings &s) { return std::make_unique<Relp>(s); }

}  // namespace forward
