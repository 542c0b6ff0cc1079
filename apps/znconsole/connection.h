// connection.h -- the connection to a zn console (TCP or a local socket): connecting, the handshake, reading and writing.
#pragma once

#include <string>
#include <string_view>

namespace znconsole {

inline constexpr int greeting_timeout_ms = 5000; // connect and acknowledgement, each

// Exit statuses besides 0 (done).
inline constexpr int exit_failed = 1;        // usage, connection, the daemon closed or is full
inline constexpr int exit_not_a_console = 2; // the peer does not speak the console protocol

// Where a console listens: a local socket, or a TCP host and port.
struct Target {
    std::string socket; // path of a local socket; empty for TCP
    std::string host;
    std::string port;

    // "socket PATH" or "HOST port PORT", for messages.
    std::string describe() const { return socket.empty() ? host + " port " + port : "socket " + socket; }
};

// A connected socket, or -1 with a message in error.
int connect_to(const Target &target, std::string &error);

enum class Greeting {
    accepted,   // the acknowledgement came
    refused,    // other bytes came instead: the peer is no zn console
    closed,     // the peer closed without a byte: a zn daemon does so when
                // it has as many console users as it takes
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
