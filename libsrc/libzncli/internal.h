// internal.h -- declarations shared by the console's sources, never exported.
#pragma once

#include <sys/socket.h>
#include <termios.h>

#include <cerrno>
#include <chrono>
#include <string_view>

#include "zncli.h"
#include "znsched.h"

namespace cli {

inline constexpr int buffer_size = 2048;     // in_buf and out_buf
inline constexpr int history_slots = 10;     // lines in a user's history ring
inline constexpr int history_text = 256;     // bytes of one history slot
inline constexpr int local_fd_limit = 3;     // in_fd <= this: a local console
inline constexpr int handshake_size = 4;     // bytes of the remote handshake value
inline constexpr int flush_wait_ms = 1000;   // how long a flush waits at most

inline bool is_local(const CmdUser *up) { return up->in_fd <= local_fd_limit; }

// A read or write that found the descriptor not ready (not a failure).
inline bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

// ---- debug.cpp ----

// Diagnostic line to cli_debug_fd; callers test cli_debug_flag first.
int debug(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
inline bool debug_on() { return cli_debug_flag > 0; }
inline bool debug_max() { return cli_debug_flag == 2; }

// Before the console closes up's descriptors: switches off the console's
// and the scheduler's debug channels that write to one of them.
void debug_channels_leave(const CmdUser *up);

// True while the console's or the scheduler's debug channel is on and
// writes to fd.
bool debug_writes_to(int fd);

// ---- users.cpp ----

// A user record as the console allocates it: the public record first, then
// private state, so a CmdUser * of the console is also a UserNode *.
struct UserNode {
    CmdUser user;
    bool listed = false;       // on CmdUserList
    bool removed = false;      // taken off the list; released after the event
    bool termio_saved = false; // terminal settings were saved, to be restored
    termios saved_termios{};   // the full settings behind old_termio
    bool holding = false;      // output waits in out_buf until the event ends
    bool discarding = false;   // dropping the rest of an overlong line
    bool after_cr = false;     // input ended with a CR: a LF next is its CR LF
    bool accepted = false;     // came through a listening socket: counts
                               // against the user limit
    std::chrono::steady_clock::time_point accepted_at{};
    bool has_peer = false;     // peer credentials known (local socket)
    ucred peer{};              // the peer's pid, uid and gid at connect
    UserNode *release_next = nullptr;
};

inline UserNode *node_of(CmdUser *up) { return reinterpret_cast<UserNode *>(up); }
inline bool is_removed(CmdUser *up) { return node_of(up)->removed; }

// The connection of up ended (end of input, quit) or failed (a write): up
// is removed as cli_remove_user(in_fd, out_fd, type) would remove it, with
// the same debug line, and a remote user's descriptors are closed. The
// record is released when the outermost Event ends (or at the start of the
// next one).
void disconnect_user(CmdUser *up, int in_fd, int out_fd, int type);
inline void input_ended(CmdUser *up, int fd) { disconnect_user(up, fd, fd, CLI_MATCH_ANY); }
// A failed write names the user by its output descriptor alone.
inline void output_failed(CmdUser *up) { disconnect_user(up, 0, up->out_fd, CLI_MATCH_OUT); }

// One descriptor event, or one command run by cli_add_console: removed
// users stay readable until the outermost Event ends.
class Event {
public:
    Event();
    ~Event();
    Event(const Event &) = delete;
    Event &operator=(const Event &) = delete;
};

void users_reset();       // empties the user list (records are kept)
void users_release_all(); // clean-up: closes or restores and frees every user

// up, just added for a connection from a listening socket, is marked as
// accepted (and counted) with the peer's credentials when known.
void user_accepted(CmdUser *up, const ucred *peer);
int accepted_users();     // accepted users on the list

inline bool awaits_handshake(CmdUser *up) {
    return node_of(up)->accepted && up->state == CLI_STATE_MAGIC;
}

// ---- console.cpp ----

void terminal_make_raw(CmdUser *up); // saves the settings, raw input
void terminal_restore(CmdUser *up);  // puts saved settings back

// ---- listener.cpp ----

int listener_open(ushort_t port); // the TCP listening socket, or -1
void listener_close();            // closes cli_accept_fd if open
bool is_listener(int fd);         // the TCP or the local listening socket
// Accepts one connection on a listening socket: a user within the limits.
void accept_connection(int listening_fd);
// Listening sockets resting for want of descriptors (accept() failed with
// EMFILE or ENFILE) are watched again at once: a user has left.
void accepting_resume();
int receive_handshake(CmdUser *up); // state 0; always -1

// ---- local_socket.cpp ----

int local_socket_fd(); // the local listening socket, or -1
// Takes fd, a listening Unix-domain stream socket opened by someone else
// (a service manager), as the local socket; its file is not removed at
// clean-up. 0, or -1 when a local socket is open already or fd cannot be
// registered (fd is then left as it was).
int local_socket_adopt(int fd);
void local_socket_close(); // clean-up: closes it, removes a file it made

// ---- access.cpp ----

// Whether up may run the command e (the permission hook; always true
// without a hook or a user).
bool permitted(CmdUser *up, const CmdEntry *e);
// The credentials of the peer on a connected Unix-domain socket.
bool read_peer_credentials(int fd, ucred &peer);

// ---- limits.cpp ----

bool admits_user(); // another accepted user stays within the limit
int user_limit();
// A connection accepted now: its handshake time-out starts.
void handshake_timer_start();

// ---- activation.cpp ----

// cli_init: takes the listening sockets the service manager passed, if any
// (cli_accept_fd and cli_port are then set), and removes its variables.
void take_passed_listeners();

// ---- output.cpp ----

int output(CmdUser *up, std::string_view text, uchar_t type);
inline int echo(CmdUser *up, std::string_view text) { return output(up, text, CLI_OUT_ECHO); }
int print_to(CmdUser *up, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Writes up's pending output once; false when the descriptor failed for
// good (a full descriptor is no failure).
bool write_pending(CmdUser *up);

// For the length of one input event, a remote user's output collects in
// out_buf and leaves in one write when the event ends: echo, command output
// and prompt travel together and at once. Nothing collects while the user
// has an output hook (which sees all output) or a debug channel writes to
// its descriptor (whose lines must come after the output before them).
void hold_output(CmdUser *up);
// Ends holding and writes what collected; false when the user is gone (it
// was removed, or the write failed and the user was removed now).
bool release_output(CmdUser *up);

// When a bounded wait for writability gives up: flush_wait_ms from now.
using Deadline = std::chrono::steady_clock::time_point;
Deadline flush_deadline();

// Writes what was collected for fd, before a debug channel writes there.
void flush_collected(int fd);

// Writes text straight to up's out_fd, past the hook, after all pending
// output, waiting for writability until the deadline. The text is not
// written when the pending output could not all go before it.
void write_direct(CmdUser *up, std::string_view text, Deadline deadline);

// cli_flush() with the given deadline.
int flush_until(CmdUser *up, Deadline deadline);

// ---- prompt.cpp ----

void send_prompt(CmdUser *up);
void send_prompt_with_input(CmdUser *up);

// ---- input.cpp ----

// Hands input bytes, as they were read, to the editor line by line; false
// when the rest of the input must go (a handler ended the user or the
// program, or the user was removed).
bool feed_input(CmdUser *up, std::string_view bytes);

// ---- editor.cpp ----

// The editor on up's new bytes (echo_ptr to in_len), which hold at most one
// line end, as their last byte; results as cli_receive_data's.
int edit_line(CmdUser *up);
void empty_line(CmdUser *up);
// The bytes from echo_ptr to in_len are shown (when typed input is echoed)
// and count as echoed.
void echo_typed(CmdUser *up);
void erase_echoed(CmdUser *up);       // "\b \b" for every echoed byte
void refuse_line(CmdUser *up, const char *text); // text, prompt, empty line

// ---- dispatch.cpp ----

int dispatch_line(CmdUser *up); // the line in in_buf has ended

// ---- history.cpp ----

void history_record(CmdUser *up, const char *line);
enum class Expansion { none, replaced, refused };
Expansion history_expand(CmdUser *up); // a line starting with "!"
// Arrow keys: true when a slot was shown, false when the line was emptied
// and the editor goes on with the rest of the read.
bool history_step(CmdUser *up, bool back);
int history_slot(const CmdUser *up, int listed_index); // listing order -> slot

// ---- completion.cpp ----

void complete_line(CmdUser *up, int tab_pos);

// ---- registry.cpp ----

void registry_reset();       // empties both lists (entries are kept)
void registry_release_all(); // clean-up: frees every entry

// While a command handler runs, removed entries stay readable.
class HandlerRun {
public:
    HandlerRun();
    ~HandlerRun();
    HandlerRun(const HandlerRun &) = delete;
    HandlerRun &operator=(const HandlerRun &) = delete;
};

// ---- argv.cpp ----

bool split_was_cut(); // the last nmakeargv() dropped words that did not fit

// ---- builtins.cpp ----

void register_builtins(bool with_shutdown);

} // namespace cli
