/* The public header next to <syslog.h>, included before or after it as
 * SYSLOG_FIRST says; built as C and, through syslog_order.cpp, as C++. */
#if SYSLOG_FIRST
#include <syslog.h>

#include "logger/logger.h"
#else
#include "logger/logger.h"

#include <syslog.h>
#endif

#define TEXT_OF(name) #name
#define TEXT(name) TEXT_OF(name)

/* Posts an ALERT and an INFO record named after itself; returns syslog's LOG_ALERT. */
#ifdef __cplusplus
extern "C"
#endif
int POSTER(void) {
    Log_Send(LogAlert, LogServer, "%s", TEXT(POSTER));
    Log_Send(LogInfo, LogProgram, "%s", TEXT(POSTER));
    return LOG_ALERT;
}
