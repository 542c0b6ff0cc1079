// connection.h -- the TCP connection to a zn console: connecting, the handshake, reading and writing.
#pragma once

#include <string>
#include <string_view>

namespace znconsole {

inline constexpr int greeting_timeout_ms = 5000; // connect and acknowledgement, each

// A connected socket, or -1 with a message in error.
int connect_to(const std::string &host, const std::string &port, std::string &error);

enum class Greeting {
    accepted,   // the acknowledgement came
    refused,    // other bytes came instead: the peer is no zn console
    closed,     // the peer closed without acknowledging
    silent,     // nothing within greeting_timeout_ms
};

// Sends the handshake value and waits for the acknowledgement. Bytes that
// arrived after it (the beginning of the prompt) are left in after.
Greeting greet(int fd, std::string &after);

// Writes all of bytes to fd (the connection or the terminal); false when
// the descriptor failed. The program ignores SIGPIPE, so a closed peer is a
// failed write.
bool write_all(int fd, std::string_view bytes);

enum class ReadResult { data, timeout, closed };

// Waits up to timeout_ms (negative: without limit) for fd to become
// readable and appends what one read gives to into. A read error counts as
// closed.
ReadResult read_some(int fd, std::string &into, int timeout_ms);

} // namespace znconsole
