// command_line.h -- what the programs' option parsers tell main().
#pragma once

#include <cstdio>
#include <optional>

namespace zn_apps {

enum class ParseResult { run, help, bad_usage };

// The exit status main() returns at once, or nothing when the program
// runs: for help the usage text is printed on standard output (status 0);
// for bad usage the parser has explained already.
inline std::optional<int> exit_before_run(ParseResult result, const char *usage, int bad_usage_status) {
    switch (result) {
    case ParseResult::help:
        fputs(usage, stdout);
        return 0;
    case ParseResult::bad_usage:
        return bad_usage_status;
    case ParseResult::run:
        break;
    }
    return std::nullopt;
}

} // namespace zn_apps
