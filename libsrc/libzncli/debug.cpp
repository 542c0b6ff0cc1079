// debug.cpp -- the console's debug channel: level, destination and printer.
#include <cstdarg>

#include "../common/io.h"
#include "internal.h"

int cli_debug_flag = 0;
int cli_debug_fd = -1;

// Output collected for the new descriptor goes ahead of the lines to come.
void cli_set_debug(int debug, int debugfd) {
    cli_debug_flag = debug;
    cli_debug_fd = debugfd;
    cli::flush_collected(debugfd);
}

namespace cli {

// Lines longer than the 2048-byte buffer are cut; a peer that has gone
// costs the line, never the process (no SIGPIPE).
int debug(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int written = zn::debug_vprintf(cli_debug_fd, fmt, ap);
    va_end(ap);
    return written;
}

// A channel left pointing at a descriptor the console closes would write to
// whatever gets that number next. Descriptors the console keeps open keep
// their channels.
void debug_channels_leave(const CmdUser *up) {
    auto points_at_user = [up](int fd) { return fd >= 0 && (fd == up->in_fd || fd == up->out_fd); };
    if (points_at_user(cli_debug_fd))
        cli_set_debug(0, -1);
    if (points_at_user(sched_debug_fd))
        sched_set_debug(0, -1);
}

bool debug_writes_to(int fd) {
    return fd >= 0 && ((cli_debug_flag > 0 && cli_debug_fd == fd) ||
                       (sched_debug_flag > 0 && sched_debug_fd == fd));
}

} // namespace cli
