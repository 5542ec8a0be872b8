// The test bed: every test binary runs in its own IPC and mount namespaces
// with a tmpfs over /var/log, so "/mqd" and /var/log/Tembra/ are private.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include "files.h"
#include "sandbox.h"

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "logger/line_format.h"

namespace bed {

inline const std::string kDir = LOG_DIRECTORY;

struct Output {
    std::string out;
    std::string err;
    int status = -1;  // exit status, or 128 + signal
};

// Runs fn in a forked child with stdout and stderr captured; fn's result is
// the exit status. stdio is flushed at the end, as a normal exit would.
Output in_child(const std::function<int()> &fn, const std::string &input = "");

// Runs a program from the build's bin/ directory (or an absolute path).
Output run(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
           const std::string &input = "");
std::string bin(const std::string &name);

// A program left running; finish() signals it (0: none) and collects it.
struct Background {
    pid_t pid = -1;
    int out = -1, err = -1;
};
Background start(const std::vector<std::string> &argv, const std::vector<std::string> &env = {});
Output finish(Background &running, int signal);

// Waits up to timeout_ms for ready() to hold, checking every millisecond.
bool wait_for(const std::function<bool()> &ready, int timeout_ms);

// Removes the queue and empties the log directory (recreating it).
void reset();
void remove_log_dir();
void unlink_queue();

struct Message {
    std::string bytes;
    unsigned int priority;
};
// Takes every message off "/mqd" without the logger; empty when there is none.
std::vector<Message> take_all();
// Posts raw bytes to "/mqd", creating it with the default attributes.
void post(const std::string &bytes, unsigned int priority);
inline long pending() { return sandbox_pending(); }
// Creates "/mqd" as another user (nobody) with mode; false when this process
// cannot change its uid.
bool create_queue_as_stranger(mode_t mode);
// Creates "/mqd" small (4 lines of 256 bytes) with this owner, group and mode;
// false when this process may not give it away (not root).
bool make_queue(uid_t owner, gid_t group, mode_t mode);
// Runs argv[0] of the build (or an absolute path) as uid with these groups,
// through setpriv, unless uid is 0.
std::vector<std::string> as_user(unsigned uid, std::vector<std::string> argv, const std::string &groups = "");

// What a machine may not give (a container, typically); a test that needs it
// skips with a one-line reason, e.g.
//   if (!bed::can_raise_mqueue_limit()) GTEST_SKIP() << bed::kNoMqueueSysctl;
bool can_raise_mqueue_limit();      // /proc/sys/fs/mqueue/ is writable here
bool can_make_network_namespace();  // a network namespace of our own, loopback up
bool can_open_pty();                // a pseudo-terminal (script(1), a pager's terminal)
inline const char *const kNoMqueueSysctl = "fs.mqueue sysctls are read-only here: queue limits cannot be raised";
inline const char *const kNoNetworkNamespace = "no network namespace with a loopback here";
inline const char *const kNoPty = "no pseudo-terminal here (/dev/pts)";

bool matches(const std::string &text, const std::string &pattern);
// t formatted in UTC with a strftime layout.
std::string utc_text(time_t t, const char *layout);
// The only file in the log directory, or "" when there is none.
std::string log_file_name();
std::string log_contents();

// The regular expression of one well-formed line for a given level, type and message.
std::string line_pattern(const std::string &level, const std::string &type,
                         const std::string &message_regex);

// A fresh queue and log directory for each test. The queue is unlinked at the
// end too: queue memory counts against the user's RLIMIT_MSGQUEUE across all
// namespaces, and an unlinked, closed queue gives its share back at once.
class Test : public ::testing::Test {
  protected:
    void SetUp() override { reset(); }
    void TearDown() override { unlink_queue(); }
};

}  // namespace bed
