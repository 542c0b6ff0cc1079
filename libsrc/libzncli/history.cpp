// history.cpp -- each user's ring of ten command lines: recording, "!" expansion, arrow keys.
//
// The newest line is in slot history_ptr - 1; while fewer than ten were
// recorded, slots 0 .. history_used - 1 hold them oldest first, afterwards
// the oldest is in slot history_ptr. Slot numbers are taken modulo ten
// wherever they are computed, so that odd values an application may have
// written never index outside the ring.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "internal.h"

namespace {

int ring(int slot) { return ((slot % cli::history_slots) + cli::history_slots) % cli::history_slots; }

bool ring_full(const CmdUser *up) { return up->history_used >= cli::history_slots; }

std::string_view slot_text(const CmdUser *up, int slot) {
    const char *text = up->history[ring(slot)];
    return {text, strnlen(text, cli::history_text - 1)};
}

// Replaces the line with text, which is then echoed as the arrow keys do.
void show_slot(CmdUser *up, int slot) {
    cli::erase_echoed(up);
    const std::string_view text = slot_text(up, slot);
    memcpy(up->in_buf, text.data(), text.size());
    up->in_len = static_cast<int>(text.size());
    cli::echo(up, text);
    up->echo_ptr = up->in_len;
}

void clear_line(CmdUser *up) {
    cli::erase_echoed(up);
    cli::empty_line(up);
}

// "!N": the line the history listing numbers N; -1 when N is out of range.
int numbered_slot(const CmdUser *up, const char *digits) {
    const long n = strtol(digits, nullptr, 10);
    if (n < 1 || n > cli::history_slots)
        return -1;
    const int index = static_cast<int>(n) - 1;
    return cli::history_slot(up, index);
}

// "!text": the newest of the ten slots (from history_ptr down) starting with text.
int prefix_slot(const CmdUser *up, const char *prefix) {
    const size_t len = strlen(prefix);
    for (int i = 0; i < cli::history_slots; ++i) {
        const int slot = ring(up->history_ptr - i);
        if (slot_text(up, slot).starts_with(std::string_view(prefix, len)))
            return slot;
    }
    return -1;
}

} // namespace

namespace cli {

// Lines longer than a slot are cut to 255 bytes.
void history_record(CmdUser *up, const char *line) {
    char *slot = up->history[ring(up->history_ptr)];
    memset(slot, 0, history_text);
    strncpy(slot, line, history_text - 1);
    up->history_ptr = ring(up->history_ptr + 1);
    if (up->history_used < history_slots)
        ++up->history_used;
}

int history_slot(const CmdUser *up, int listed_index) {
    return ring_full(up) ? ring(up->history_ptr + listed_index) : ring(listed_index);
}

Expansion history_expand(CmdUser *up) {
    const char *query = up->in_buf + 1;
    int slot;
    if (query[0] == '!') {
        slot = ring(up->history_ptr - 1);
    } else if (isdigit(static_cast<unsigned char>(query[0]))) {
        slot = numbered_slot(up, query);
        if (slot < 0) {
            refuse_line(up, "Invalid history range\n");
            return Expansion::refused;
        }
    } else {
        slot = prefix_slot(up, query);
        if (slot < 0) {
            refuse_line(up, "No Previous Commands matched query\n");
            return Expansion::refused;
        }
    }
    const std::string_view text = slot_text(up, slot);
    memcpy(up->in_buf, text.data(), text.size());
    up->in_buf[text.size()] = '\0';
    up->in_len = up->echo_ptr = static_cast<int>(text.size());
    output(up, text, CLI_OUT_TEXT);
    output(up, "\n", CLI_OUT_TEXT);
    return Expansion::replaced;
}

bool history_step(CmdUser *up, bool back) {
    if (up->arrow_ptr == -1)
        up->arrow_ptr = up->history_ptr;
    if (back) {
        if (--up->arrow_ptr < 0) {
            if (!ring_full(up)) {
                clear_line(up);
                up->arrow_ptr = -1;
                return false;
            }
            up->arrow_ptr = history_slots - 1;
        }
    } else {
        if (up->arrow_ptr == up->history_used - 1) {
            clear_line(up);
            return false;
        }
        up->arrow_ptr = ring(up->arrow_ptr + 1);
    }
    show_slot(up, up->arrow_ptr);
    return true;
}

} // namespace cli
