// The load test's and the fault run's helpers: the programs started and
// waited for as the test bed does (testkit/process.h), and repeated figures
// summed up as a median with its range.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "process.h"
#include "sandbox.h"

namespace run {

using proc::ended;
using proc::program;
using proc::reap;
using proc::redirect;
using proc::seconds;
using proc::start;
using proc::wait_for;

// Lines of "/mqd" now pending, or -1 when there is no queue.
inline long pending() { return sandbox_pending(); }

// "median (min-max)" of the figures, printed with the format of one figure.
std::string spread(std::vector<double> figures, const char *format = "%.0f");
double median(std::vector<double> figures);

}  // namespace run
