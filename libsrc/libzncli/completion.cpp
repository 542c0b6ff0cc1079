// completion.cpp -- Tab: completing a unique command prefix, listing matches on a second Tab.
#include <algorithm>
#include <cstring>

#include "internal.h"

namespace cli {

// The Tab at tab_pos and the rest of the read are dropped. A first Tab
// completes a unique prefix to the name and a blank; a second one lists the
// matches (or completes an empty line to "help "). String requests and
// message-only state have no completion; message state completes "/name"
// lines from the message commands. Bytes typed before the Tab in the same
// read are echoed first, so that the next Tab counts as the second.
void complete_line(CmdUser *up, int tab_pos) {
    up->in_len = std::max(0, std::min(up->in_len, tab_pos + 1) - 1);
    if (up->state == CLI_STATE_GETSTR || up->state == CLI_STATE_MESSAGE_ONLY) {
        up->in_len = up->echo_ptr;
        return;
    }
    echo_typed(up);
    up->in_buf[up->in_len] = '\0';
    const bool message = up->state == CLI_STATE_MESSAGE;
    if (message && up->in_buf[0] != '/')
        return;
    char *name = message ? up->in_buf + 1 : up->in_buf;
    ++up->tabs;
    CmdEntry *entry = message ? cli_find_partial_msg_cmd(name, up->tabs)
                              : cli_find_partial_cmd(name, up->tabs);
    if (up->tabs == 2)
        up->tabs = 0;
    if (!entry)
        return;
    up->tabs = 0;
    const size_t prefix = message ? 1 : 0, name_len = strlen(entry->cmd);
    if (prefix + name_len + 1 >= buffer_size)
        return;
    memcpy(up->in_buf + prefix, entry->cmd, name_len);
    up->in_buf[prefix + name_len] = ' ';
    up->in_len = static_cast<int>(prefix + name_len + 1);
    if (up->in_len > up->echo_ptr)
        echo(up, std::string_view(up->in_buf + up->echo_ptr,
                                  static_cast<size_t>(up->in_len - up->echo_ptr)));
    up->echo_ptr = up->in_len;
}

} // namespace cli
