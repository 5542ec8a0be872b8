// Calls line composition with real variable arguments, for the tests, the
// fuzzer and the benchmarks; returns the line's length.
#pragma once

#include <cstdarg>

#include "logger/compose.h"

inline size_t fill_line(int level, int type, const char *format, ...) {
    va_list args;
    va_start(args, format);
    size_t len = Log_Fill_LogLine(level, type, format, args);
    va_end(args);
    return len;
}
