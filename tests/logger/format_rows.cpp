// Calls of Log_Send whose formats are checked while compiling; ROW picks one.
// tests/logger/CMakeLists.txt says which rows compile and which fail, and how.
#include <string>

#include "logger/logger.h"

void row(const char *runtime_format, const std::string &text, long number) {
    (void)runtime_format, (void)text, (void)number;
#if ROW == 1
    Log_Send(LogInfo, LogProgram, "%%d", 3);
#elif ROW == 2
    Log_Send(LogInfo, LogProgram, "progress 50%% done");
#elif ROW == 3
    Log_Send(LogInfo, LogProgram, "%s and %s", "one");
#elif ROW == 4
    Log_Send(LogInfo, LogProgram, "%s and %s", "one", text.c_str());
#elif ROW == 5
    Log_Send(LogInfo, LogProgram, "%d", "text");
#elif ROW == 6
    Log_Send(LogInfo, LogProgram, "%s", 42);
#elif ROW == 7
    Log_Send(LogInfo, LogProgram, "%c at %d, level %d", 'A', number, LogWarn);
#elif ROW == 8
    Log_Send(LogInfo, LogProgram, "cds, x%yz 100%");
#elif ROW == 9
    Log_Send(LogInfo, LogProgram, "plain", 1);
#elif ROW == 10
    Log_Send(LogInfo, LogProgram, runtime_format, 1, "any");
#elif ROW == 11
    Log_Send(LogInfo, LogProgram, "%s", text);
#elif ROW == 12
    Log_Send(LogInfo, LogProgram, "%5d then %-3s", 42, "x");
#elif ROW == 13
    Log_Send(LogInfo, LogProgram, "100%% sure, got %s", "one");
#endif
}
