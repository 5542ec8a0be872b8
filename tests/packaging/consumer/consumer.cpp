// The same consumer built as C++, where the format is checked while compiling.
#include "consumer.c"
