/* The public header must compile as C and be callable from C. */
#include "logger/logger.h"

void c_caller_posts(void) { Log_Send(LOG_WARN, LOG_SERVER, "from C %d", 1); }
