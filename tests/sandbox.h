// Private IPC and mount namespaces with a tmpfs over /var/log, shared by the
// tests, the benchmarks and the load test, so none touch the machine's own.
#pragma once

// Enters the namespaces and creates an empty /var/log/Tembra/; exits on failure.
void sandbox_enter();
