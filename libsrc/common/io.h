// io.h -- writes that never raise SIGPIPE, and the fixed-buffer debug printer.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <sys/types.h>

namespace zn {

// One write of len bytes to fd (a socket or any other descriptor). A peer
// that has gone yields -1 with errno EPIPE instead of ending the process:
// sockets use MSG_NOSIGNAL; other descriptors are written under a
// SignalHold of SIGPIPE, which consumes a SIGPIPE this write raised, also
// when it returned a byte count. The process's SIGPIPE disposition and mask
// are left as they were. Returns write()'s result, with errno preserved.
ssize_t write_nosigpipe(int fd, const void *buf, size_t len);

// Size of the debug printers' buffer; longer lines are cut to size - 1 bytes.
inline constexpr size_t debug_buffer_size = 2048;

// Format into a debug_buffer_size buffer and write it to fd with one
// write_nosigpipe(). Returns -1 when fd is negative or the write fails, else
// the number of bytes written (the formatted length, cut to fit).
int debug_vprintf(int fd, const char *fmt, va_list ap);

} // namespace zn
