/* The public header must compile as C and be callable from C. */
#include "logger/logger.h"

void c_caller_posts(void) { Log_Send(LogWarn, LogServer, "from C %d", 1); }
