/* A program linked against the installed shared library: posts one record,
 * "from <argument>", and exits 1 when it was lost. */
#include <logger/logger.h>

int main(int argc, char **argv) {
    Log_Init();
    Log_Send(LogWarn, LogServer, "from %s", argc > 1 ? argv[1] : "");
    return Log_Lost() != 0;
}
