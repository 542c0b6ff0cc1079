// environment.h -- reading and consuming variables that a service manager hands to the daemon.
#pragma once

#include <optional>

namespace zn {

// The value of name as a whole decimal number without sign; empty when the
// variable is unset, empty, or not such a number (or too large).
std::optional<unsigned long long> environment_number(const char *name);

// Removes every definition of name from the environment, so that programs
// the daemon starts do not inherit it. unsetenv() alone leaves the text in
// the memory the kernel filled at exec, which other processes read as
// /proc/<pid>/environ; definitions that live there are blanked too.
void environment_remove(const char *name);

} // namespace zn
