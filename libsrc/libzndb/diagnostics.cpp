// diagnostics.cpp -- the database's messages on standard output, shown while verbose.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "internal.h"

namespace zndb {

namespace {

void vsay(const char *fmt, va_list ap) {
    if (_db_verbose == 1)
        vprintf(fmt, ap);
}

} // namespace

void say(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsay(fmt, ap);
    va_end(ap);
}

void say_now(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsay(fmt, ap);
    va_end(ap);
    if (_db_verbose == 1)
        fflush(stdout);
}

void malloc_failed() {
    printf("ERROR: malloc failed\r\n");
    fflush(stdout);
    exit(0);
}

} // namespace zndb
