/* Posts one record, "consumer <argument>", through an installed logger and drains it. */
#include <logger/logger.h>

int main(int argc, char **argv) {
    Log_Init();
    Log_Send(LogError, LogServer, "consumer %s", argc > 1 ? argv[1] : "");
    Log_Write();
    return mqd == (mqd_t)-1 || logfile == NULL || Log_Lost() != 0;
}
