// diagnostics.cpp -- the database's messages on standard output, shown while verbose.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "internal.h"

namespace zndb {

void say(const char *fmt, ...) {
    if (_db_verbose != 1)
        return;
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
}

void malloc_failed() {
    printf("ERROR: malloc failed\r\n");
    fflush(stdout);
    exit(0);
}

} // namespace zndb
