// report.h -- zndemo's start-up log on standard error, and refusing to start.
#pragma once

namespace zndemo {

// One line "zndemo: <text>" on standard error.
void log_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Keeps the terminal settings of standard input so that a refused start
// can put them back after the local console switched them to raw input.
void remember_terminal();

// Logs the reason, restores a remembered terminal and ends the process
// with status 1.
[[noreturn]] void refuse_start(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

} // namespace zndemo
