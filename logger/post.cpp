// Posting a record: compose the line, echo it to stdout, trace it to stderr
// and send it to the queue at priority = level.
#include <errno.h>
#include <mqueue.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "logger/compose.h"
#include "logger/logger.h"
#include "logger/state.h"

static unsigned int priority_of(int level) {
    if (level < 0) return 0;
    return level > LOG_PRIORITY_MAX ? LOG_PRIORITY_MAX : (unsigned int)level;
}

// Writes "LogLine: <line> <length>" to stderr as one piece: what fprintf
// would write, without its cost on an unbuffered stream.
static void trace(size_t len) {
    static const char label[] = "LogLine: ";
    static char text[sizeof label + LOG_LINE_SIZE + LOG_DECIMAL_SIZE];
    size_t n = sizeof label - 1;
    memcpy(text, label, n);
    memcpy(text + n, LogLine, len);
    n += len;
    text[n++] = ' ';
    n += log_decimal(text + n, (long)len);
    fwrite(text, 1, n, stderr);
}

void Log_Send(int level, int type, const char *format, ...) {
    va_list args;
    va_start(args, format);
    log_lock();
    size_t len = Log_Fill_LogLine(level, type, format, args);
    va_end(args);

    fwrite(LogLine, 1, len, stdout);
    fputc('\n', stdout);
    trace(len);
    if (mq_send(mqd, LogLine, len, priority_of(level)) == -1) {
        fprintf(stderr, "%s :mq_send()[%s]\n", strerror(errno), "Log_Send");
    }
    memset(LogLine, 0, len);
    log_unlock();
}
