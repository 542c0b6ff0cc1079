// input.cpp -- input as a byte stream, cut into lines for the editor: handshake, line ends, overlong lines.
//
// A read may hold part of a line, several lines, or the handshake with the
// first lines behind it. Every CR, LF or CR LF ends a line, and each line
// goes to the editor on its own, as if it had come in a read of its own:
// its output and prompt leave before anything of the next line is handled,
// and an unfinished last line stays in in_buf for the next read.
#include <algorithm>
#include <cstring>
#include <utility>

#include "internal.h"

namespace {

void append(CmdUser *up, std::string_view bytes) {
    std::copy(bytes.begin(), bytes.end(), up->in_buf + up->in_len);
    up->in_len += static_cast<int>(bytes.size());
}

// The editor on the bytes just appended, with up as current_user; false
// when the rest of the input must go.
bool run_editor(CmdUser *up) {
    CmdUser *const outer = std::exchange(current_user, up);
    const int result = cli::edit_line(up);
    current_user = outer;
    return result != -2 && !cli::is_removed(up);
}

// A line that does not fit the input buffer is refused; the rest of it is
// dropped as it arrives, up to its line end.
void refuse_overlong(CmdUser *up, bool ended) {
    cli::refuse_line(up, "Input line too long, discarded\n");
    cli::node_of(up)->discarding = !ended;
}

// One line's new bytes and its line end (0 when it has not come yet). When
// they fit the buffer together the editor gets them in one piece, so the
// bytes are not echoed, only the line end; an overlong line is echoed as
// far as it fits, then refused.
bool edit(CmdUser *up, std::string_view text, char end) {
    const size_t end_len = end ? 1 : 0;
    for (;;) {
        const auto room = static_cast<size_t>(cli::buffer_size - up->in_len);
        if (text.size() + end_len <= room)
            break;
        if (room == 0) {
            refuse_overlong(up, end != 0);
            return true;
        }
        append(up, text.substr(0, room));
        text.remove_prefix(room);
        if (!run_editor(up))
            return false;
    }
    append(up, text);
    append(up, std::string_view(&end, end_len));
    if (!run_editor(up))
        return false;
    if (up->in_len >= cli::buffer_size)
        refuse_overlong(up, false);
    return true;
}

// Keys after which the editor drops the rest of what it was handed:
// backspace, delete, Tab, Ctrl-C, Ctrl-D, Ctrl-U and the arrow keys.
bool holds_editing_key(std::string_view text) {
    if (text.find_first_of("\x08\x7f\t\x03\x04\x15") != std::string_view::npos)
        return true;
    for (size_t at = text.find("\x1b["); at != std::string_view::npos; at = text.find("\x1b[", at + 1))
        if (at + 2 < text.size() && text[at + 2] >= 'A' && text[at + 2] <= 'D')
            return true;
    return false;
}

// One line: its bytes and its line end go to the editor together, so that
// only the line end is echoed. A line with an editing key in it is handed
// over as a read that ends at its line end, as a person typing would send
// it: what the key drops is the rest of the typed text, never the line end,
// which still ends the line.
bool edit_line_of_read(CmdUser *up, std::string_view text, char end) {
    if (end == '\0' || !holds_editing_key(text))
        return edit(up, text, end);
    if (!edit(up, text, '\0'))
        return false;
    cli::UserNode *node = cli::node_of(up);
    if (node->discarding) { // the text alone was overlong: its end ends that
        node->discarding = false;
        return true;
    }
    return edit(up, {}, end);
}

struct Line {
    std::string_view text;   // the bytes before the line end
    std::string_view ending; // "\r", "\n", "\r\n", or empty when unfinished
};

// Takes the next line, or the unfinished rest, off the front of bytes.
Line take_line(std::string_view &bytes) {
    const size_t at = std::min(bytes.find_first_of("\r\n"), bytes.size());
    size_t ending = at < bytes.size() ? 1 : 0;
    if (ending && bytes[at] == '\r' && at + 1 < bytes.size() && bytes[at + 1] == '\n')
        ending = 2;
    const Line line{bytes.substr(0, at), bytes.substr(at, ending)};
    bytes.remove_prefix(at + ending);
    return line;
}

// A user in handshake state: the value's bytes are gathered over as many
// reads as they take and judged once all have come. After a correct value
// the rest of the read is input; a wrong one takes the rest along.
bool take_handshake(CmdUser *up, std::string_view &bytes) {
    const auto missing = static_cast<size_t>(std::max(0, cli::handshake_size - up->in_len));
    const std::string_view part = bytes.substr(0, missing);
    bytes.remove_prefix(part.size());
    append(up, part);
    if (!run_editor(up))
        return false;
    if (up->state == CLI_STATE_MAGIC && up->in_len == 0)
        bytes = {};
    return true;
}

} // namespace

namespace cli {

bool feed_input(CmdUser *up, std::string_view bytes) {
    UserNode *node = node_of(up);
    up->in_len = std::clamp(up->in_len, 0, buffer_size);
    while (!bytes.empty()) {
        if (up->state == CLI_STATE_MAGIC) {
            if (!take_handshake(up, bytes))
                return false;
            continue;
        }
        if (std::exchange(node->after_cr, false) && bytes.front() == '\n') {
            bytes.remove_prefix(1); // the LF of a CR LF split across reads
            continue;
        }
        const Line line = take_line(bytes);
        node->after_cr = line.ending == "\r" && bytes.empty();
        if (node->discarding) {
            node->discarding = line.ending.empty();
            continue;
        }
        if (!edit_line_of_read(up, line.text, line.ending.empty() ? '\0' : line.ending.front()))
            return false;
    }
    return true;
}

} // namespace cli

// The bytes from echo_ptr to in_len are new input, cut into lines like
// input that cli_fd_event reads.
int cli_receive_data(CmdUser *up) {
    const bool handshake = up->state == CLI_STATE_MAGIC;
    const int end = std::clamp(up->in_len, 0, cli::buffer_size);
    const int start = std::clamp(up->echo_ptr, 0, end);
    char fresh[cli::buffer_size];
    const auto count = static_cast<size_t>(end - start);
    memcpy(fresh, up->in_buf + start, count);
    up->in_len = start;
    if (!cli::feed_input(up, std::string_view(fresh, count)))
        return -2;
    return handshake ? -1 : 0;
}
