/* Posts one record through an installed logger and drains it. */
#include <logger/logger.h>

int main(void) {
    Log_Init();
    Log_Send(LogError, LogServer, "consumer %d", 7);
    Log_Write();
    return mqd == (mqd_t)-1 || logfile == NULL;
}
