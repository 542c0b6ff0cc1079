// editor.cpp -- the line editor: each new input byte is echoed, edits the line, or ends it.
//
// The editor works in place in the user's input buffer. Bytes from echo_ptr
// to in_len are new; a line end can only be the last of them (input.cpp
// cuts the input at every line end). The loop walks them as they arrived,
// even after an editing key has emptied the line (later ordinary bytes of
// that piece then no longer enter it). Keys that cut the line cut it at
// their own position, so that bytes behind them never stay in the line.
#include <algorithm>
#include <array>
#include <cstring>

#include "internal.h"

namespace {

constexpr char ESC = 0x1B;

// "\b \b" as often as one output text can hold.
constexpr int per_text = cli::buffer_size / 3;
constexpr auto erasures = [] {
    std::array<char, 3 * per_text> text{};
    for (int i = 0; i < per_text; ++i) {
        text[3 * i] = text[3 * i + 2] = '\b';
        text[3 * i + 1] = ' ';
    }
    return text;
}();

// One line position past the key at pos, never beyond the line.
int line_through(const CmdUser *up, int pos) { return std::min(up->in_len, pos + 1); }

// Backspace or delete: removes the key and the byte typed before it. The
// screen follows: that byte is erased when it had been echoed, and bytes of
// the same read still before it are echoed now.
void backspace(CmdUser *up, int pos) {
    const int through = line_through(up, pos);
    if (through <= 1) {
        cli::empty_line(up);
        return;
    }
    up->in_len = through - 2;
    if (up->in_len < up->echo_ptr) {
        if (cli::buffer_size - up->out_len >= 2)
            cli::echo(up, "\b \b");
        up->echo_ptr = up->in_len;
    } else {
        cli::echo_typed(up);
    }
}

// Ctrl-D outside string requests and message-only state: typed "quit".
int control_d(CmdUser *up) {
    cli::erase_echoed(up);
    cli::echo(up, "quit\n");
    const char *line = up->state == CLI_STATE_MESSAGE ? "/quit" : "quit";
    const int len = static_cast<int>(strlen(line));
    memcpy(up->in_buf, line, static_cast<size_t>(len));
    up->in_len = up->echo_ptr = len;
    return cli::dispatch_line(up);
}

// The state-independent part of an escape sequence's key; true when the
// editor is done with this read.
bool arrow_key(CmdUser *up, char key) {
    switch (key) {
    case 'A':
    case 'B':
        if (up->state == CLI_STATE_GETSTR) {
            up->in_len = up->echo_ptr;
            return true;
        }
        return cli::history_step(up, key == 'A');
    case 'C':
    case 'D':
        up->in_len = up->echo_ptr;
        return true;
    default:
        return false;
    }
}

} // namespace

namespace cli {

int edit_line(CmdUser *up) {
    if (up->state == CLI_STATE_MAGIC)
        return receive_handshake(up);
    const int end = std::clamp(up->in_len, 0, buffer_size);
    int pos = std::clamp(up->echo_ptr, 0, end);
    while (pos < end) {
        if (debug_max())
            debug("cli_receive_data: Processing Char 0x%02X, '%c'\n",
                  static_cast<unsigned char>(up->in_buf[pos]), up->in_buf[pos]);
        // An escape sequence split across reads is not recognised.
        if (up->in_buf[pos] == ESC && end - pos >= 3 && up->in_buf[pos + 1] == '[') {
            pos += 2;
            if (arrow_key(up, up->in_buf[pos]))
                return 0;
        }
        switch (up->in_buf[pos]) {
        case 0x08:
        case 0x7F:
            backspace(up, pos);
            return 0;
        case '\t':
            complete_line(up, pos);
            return 0;
        case 0x03:
        case 0x15:
            erase_echoed(up);
            empty_line(up);
            return 0;
        case 0x04:
            if (up->state == CLI_STATE_GETSTR || up->state == CLI_STATE_MESSAGE_ONLY) {
                up->in_len = up->echo_ptr;
                return 0;
            }
            return control_d(up);
        case '\n':
        case '\r':
            if (up->echo_on == 1)
                echo(up, "\n");
            up->arrow_ptr = -1;
            return dispatch_line(up);
        default:
            break;
        }
        up->tabs = 0;
        ++pos;
    }
    echo_typed(up);
    return 0;
}

void echo_typed(CmdUser *up) {
    if (up->echo_on == 1 && up->in_len > up->echo_ptr)
        echo(up, std::string_view(up->in_buf + up->echo_ptr, static_cast<size_t>(up->in_len - up->echo_ptr)));
    up->echo_ptr = up->in_len;
}

void empty_line(CmdUser *up) { up->in_len = up->echo_ptr = 0; }

// One "\b \b" per echoed byte, sent in as few texts as fit the buffer.
void erase_echoed(CmdUser *up) {
    for (int left = up->echo_ptr; left > 0; left -= per_text)
        echo(up, std::string_view(erasures.data(), static_cast<size_t>(3 * std::min(left, per_text))));
}

void refuse_line(CmdUser *up, const char *text) {
    output(up, text, CLI_OUT_TEXT);
    send_prompt(up);
    empty_line(up);
}

} // namespace cli

int cli_getstr(CmdUser *up, int (*str_handler)(void *, char *), void *str_arg) {
    if (!up || !str_handler || up->state == CLI_STATE_GETSTR)
        return -1;
    up->str_handler = str_handler;
    up->str_arg = str_arg;
    up->state = CLI_STATE_GETSTR;
    if (cli::debug_on())
        cli::debug("cli_getstr: Request for next STR on FD %d\n", up->in_fd);
    return 0;
}
