// debug.cpp -- the scheduler's debug channel: level, destination and printer.
#include <cstdarg>

#include "../common/io.h"
#include "internal.h"

int sched_debug_flag = 0;
int sched_debug_fd = -1;

void sched_set_debug(int debug, int debug_fd) {
    sched_debug_flag = debug;
    sched_debug_fd = debug_fd;
}

// Lines longer than the 2048-byte buffer are cut; a peer that has gone
// costs the line, never the process (no SIGPIPE).
int sched_debug(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int written = zn::debug_vprintf(sched_debug_fd, fmt, ap);
    va_end(ap);
    return written;
}
