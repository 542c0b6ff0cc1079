// report.cpp -- zndemo's start-up log on standard error, and refusing to start.
#include "report.h"

#include <termios.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace zndemo {

namespace {

termios saved_terminal;
bool terminal_saved = false;

void vlog(const char *fmt, va_list ap) {
    char line[1024];
    vsnprintf(line, sizeof line, fmt, ap);
    fprintf(stderr, "zndemo: %s\n", line);
}

} // namespace

void log_line(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vlog(fmt, ap);
    va_end(ap);
}

void remember_terminal() { terminal_saved = tcgetattr(STDIN_FILENO, &saved_terminal) == 0; }

void refuse_start(const char *fmt, ...) {
    if (terminal_saved)
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
    va_list ap;
    va_start(ap, fmt);
    vlog(fmt, ap);
    va_end(ap);
    exit(1);
}

} // namespace zndemo
