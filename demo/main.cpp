// The demonstration program: one set-up and two records, one of each type,
// left in the queue for a later drain.
#include "logger/logger.h"

int main() {
    Log_Init();
    Log_Send(LOG_DEBUG, LOG_SERVER, "yes i succeed!");
    Log_Send(LOG_INFO, LOG_PROGRAM, "world!");
    return 0;
}
