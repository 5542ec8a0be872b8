// The same as syslog_order.c, built as C++.
#include "syslog_order.c"
