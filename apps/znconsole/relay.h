// relay.h -- the interactive session: bytes between the terminal and the daemon until the connection closes.
#pragma once

#include <string_view>

namespace znconsole {

inline constexpr char escape_key = 0x1D; // Ctrl-]: close the connection at once

// Relays standard input to fd, one line per write (each waiting for the
// daemon's answer to the one before), and fd to standard output, starting
// with shown (what came after the acknowledgement). Ends when the daemon
// closes the connection (status 0), on escape_key (0, dropping input not
// yet sent), or on a caught signal (128 plus its number).
int relay(int fd, std::string_view shown);

} // namespace znconsole
