// Calls line composition with real variable arguments, for the tests, the
// fuzzer and the benchmarks; returns the line's length.
#pragma once

#include "logger/compose.h"

inline constexpr auto &fill_line = log_fill;
