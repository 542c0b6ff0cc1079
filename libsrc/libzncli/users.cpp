// users.cpp -- the user list: adding, starting, finding, removing and releasing users.
//
// Removal takes a user off the list and out of the scheduler at once, but
// the line editor and the event handler may still read the record until the
// event that removed it has been handled; records are therefore released
// when the outermost Event ends, or, when removed outside any event, when
// the next one starts.
#include <cstdlib>
#include <cstring>
#include <new>
#include <netinet/in.h>
#include <unistd.h>

#include "../common/dlist.h"
#include "internal.h"

CmdUser *CmdUserList, *CmdUserList_end;
CmdUser *current_user;

namespace {

char user_fd_name[] = "CLI User";

int event_depth;
cli::UserNode *removed_users; // chained by release_next
int accepted_count;           // listed users that came through a listener

void release(cli::UserNode *node) {
    free(node->user.who);
    delete node;
}

void release_removed() {
    while (cli::UserNode *node = removed_users) {
        removed_users = node->release_next;
        release(node);
    }
}

void close_descriptors(const CmdUser *up) {
    cli::debug_channels_leave(up);
    close(up->in_fd);
    if (up->out_fd != up->in_fd)
        close(up->out_fd);
}

void unregister(const CmdUser *up) {
    sched_remove_fd(up->in_fd);
    if (up->out_fd != up->in_fd)
        sched_remove_fd(up->out_fd);
}

bool matches(const CmdUser *up, int in_fd, int out_fd, int type) {
    switch (type) {
    case CLI_MATCH_ANY:
        return up->in_fd == in_fd || up->in_fd == out_fd || up->out_fd == in_fd ||
               up->out_fd == out_fd;
    case CLI_MATCH_IN:
        return up->in_fd == in_fd;
    case CLI_MATCH_OUT:
        return up->out_fd == out_fd;
    case CLI_MATCH_BOTH:
        return up->in_fd == in_fd && up->out_fd == out_fd;
    default:
        return false;
    }
}

// The line of every removal, whichever way it came.
void removal_requested(int in_fd, int out_fd, int type) {
    if (cli::debug_on())
        cli::debug("cli_remove_user: Request to remove user, in_fd = %d, out_fd = %d, type = %d\n",
                   in_fd, out_fd, type);
}

void init_record(CmdUser *up, int in_fd, int out_fd, const sockaddr_in *raddr) {
    up->state = in_fd <= cli::local_fd_limit ? CLI_STATE_COMMAND : CLI_STATE_MAGIC;
    up->in_fd = in_fd;
    up->out_fd = out_fd;
    up->echo_on = 1;
    up->arrow_ptr = -1;
    if (raddr)
        up->raddr = *raddr;
}

// Takes up off the list and out of the scheduler, closing a remote user's
// descriptors when close_remote is set. Whoever leaves may free a
// descriptor for a connection waiting to be accepted.
void drop_user(CmdUser *up, bool close_remote) {
    cli::UserNode *node = cli::node_of(up);
    if (node->removed)
        return;
    unregister(up);
    if (node->listed) {
        zn::list_unlink(CmdUserList, CmdUserList_end, up);
        node->listed = false;
        --CliDebug.total_users;
        if (node->accepted)
            --accepted_count;
    }
    cli::terminal_restore(up);
    if (close_remote && !cli::is_local(up))
        close_descriptors(up);
    node->removed = true;
    node->release_next = removed_users;
    removed_users = node;
    cli::accepting_resume();
}

} // namespace

int cli_add_user(int in_fd, int out_fd, char *who, sockaddr_in *raddr, int prompt,
                 int (*output_handler)(uchar_t, CmdUser *, void *, int)) {
    if (cli_initialized != 1) {
        if (cli::debug_on())
            cli::debug("cli_add_user: Called before initialization\n");
        return -1;
    }
    if (cli::debug_on())
        cli::debug("cli_add_user: Request to add [%s] in_fd = %d, out_fd = %d\n",
                   who ? who : "(null)", in_fd, out_fd);
    if (cli_find_user(in_fd, out_fd, CLI_MATCH_ANY)) {
        if (cli::debug_on())
            cli::debug("cli_add_user: That user alaready exists\n");
        return -17;
    }
    auto *node = new (std::nothrow) cli::UserNode{};
    if (!node) {
        if (cli::debug_on())
            cli::debug("cli_add_user: No memory for user entry\n");
        return -12;
    }
    CmdUser *up = &node->user;
    up->output_handler = output_handler;
    if (who && *who && !(up->who = strdup(who))) {
        if (cli::debug_on())
            cli::debug("cli_add_user: No memory for user title\n");
        release(node);
        return -12;
    }
    init_record(up, in_fd, out_fd, raddr);
    if (cli_start_user(up, prompt) != 0) {
        if (cli::debug_on())
            cli::debug("cli_add_user: Starting user failed, removing user\n");
        release(node);
        return -1;
    }
    zn::list_append(CmdUserList, CmdUserList_end, up);
    node->listed = true;
    ++CliDebug.total_users;
    return 0;
}

int cli_start_user(CmdUser *up, int prompt) {
    if (cli::debug_on())
        cli::debug("cli_start_user: Starting up user [%s], in_fd = %d, out_fd = %d\n",
                   up->who ? up->who : "(null)", up->in_fd, up->out_fd);
    cli::terminal_make_raw(up);
    if (sched_add_fd(up->in_fd, cli_fd_event, up, SCHED_FD_READ | SCHED_FD_EXCEPT,
                     user_fd_name) < 0) {
        if (cli::debug_on())
            cli::debug("cli_start_user: Unable to schedule IN FD events\n");
        cli::terminal_restore(up);
        return -1;
    }
    if (up->out_fd != up->in_fd &&
        sched_add_fd(up->out_fd, cli_fd_event, up, SCHED_FD_EXCEPT, user_fd_name) < 0) {
        if (cli::debug_on())
            cli::debug("cli_start_user: Unable to schedule OUT FD events\n");
        sched_remove_fd(up->in_fd);
        cli::terminal_restore(up);
        return -1;
    }
    if (prompt == 1 && cli_output(up, cli_prompt, static_cast<int>(strlen(cli_prompt)),
                                  CLI_OUT_PROMPT) != 0) {
        if (cli::debug_on())
            cli::debug("cli_start_user: Unable to output prompt\n");
        unregister(up);
        cli::terminal_restore(up);
        return -1;
    }
    return 0;
}

CmdUser *cli_find_user(int in_fd, int out_fd, int type) {
    for (CmdUser *up = CmdUserList; up; up = up->next)
        if (matches(up, in_fd, out_fd, type))
            return up;
    return nullptr;
}

int cli_remove_user(int in_fd, int out_fd, int type) {
    removal_requested(in_fd, out_fd, type);
    CmdUser *up = cli_find_user(in_fd, out_fd, type);
    if (!up) {
        if (cli::debug_on())
            cli::debug("cli_remove_user: User not found\n");
        return -2;
    }
    drop_user(up, false);
    return 0;
}

namespace cli {

void disconnect_user(CmdUser *up, int in_fd, int out_fd, int type) {
    if (is_removed(up))
        return;
    removal_requested(in_fd, out_fd, type);
    drop_user(up, true);
}

Event::Event() {
    if (event_depth++ == 0)
        release_removed();
}

Event::~Event() {
    if (--event_depth == 0)
        release_removed();
}

// Records of an earlier run stay allocated (and registered) but leave the
// list, so that their removal never touches the new one.
void users_reset() {
    for (CmdUser *up = CmdUserList; up; up = up->next)
        node_of(up)->listed = false;
    CmdUserList = CmdUserList_end = nullptr;
    accepted_count = 0;
}

void user_accepted(CmdUser *up, const ucred *peer) {
    UserNode *node = node_of(up);
    node->accepted = true;
    node->accepted_at = std::chrono::steady_clock::now();
    if (peer) {
        node->has_peer = true;
        node->peer = *peer;
    }
    if (node->listed)
        ++accepted_count;
}

int accepted_users() { return accepted_count; }

void users_release_all() {
    while (CmdUser *up = CmdUserList) {
        CmdUserList = up->next;
        terminal_restore(up);
        if (!is_local(up))
            close_descriptors(up);
        release(node_of(up));
    }
    CmdUserList_end = nullptr;
    CliDebug.total_users = 0;
    accepted_count = 0;
    if (event_depth == 0)
        release_removed();
}

} // namespace cli
