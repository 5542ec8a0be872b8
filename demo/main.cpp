// The demonstration program: one set-up and two records, one of each type,
// left in the queue for a later drain.
#include "logger/logger.h"

int main() {
    Log_Init();
    Log_Send(LogDebug, LogServer, "yes i succeed!");
    Log_Send(LogInfo, LogProgram, "world!");
    return 0;
}
