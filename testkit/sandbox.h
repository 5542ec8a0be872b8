// Private IPC and mount namespaces with a tmpfs over /var/log, shared by the
// tests, the benchmarks and the load test, so none touch the machine's own.
#pragma once

#include <mqueue.h>

// Enters the namespaces and creates an empty /var/log/Tembra/; exits on failure.
void sandbox_enter();

// Raises /proc/sys/fs/mqueue/<name> to at least value, in this namespace only;
// false when it is lower and cannot be written (a read-only /proc/sys).
bool sandbox_raise_limit(const char *name, long value);

// Creates "/mqd" (read-write, non-blocking) with these attributes, raising the
// limits as needed; -1 when the system refuses.
mqd_t sandbox_create_queue(long maxmsg, long msgsize);

// Lines of "/mqd" now pending, or -1 when there is no queue.
long sandbox_pending();

// Gives this process a /dev of its own (a tmpfs with the host's null, zero,
// full, random and urandom bound in) whose log points at socket, so that
// syslog(3), which always sends to /dev/log, reaches a private reader; exits
// on failure. Call after sandbox_enter().
void sandbox_private_dev_log(const char *socket);
