// access.cpp -- who is at the other end of a connection, and which commands a user may run.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <string_view>

#include "internal.h"

namespace {

int (*permission_hook)(CmdUser *up, const char *cmd);

// A user may always leave and ask for help.
constexpr std::string_view always_allowed[] = {"quit", "exit", "bye", "logout", "help", "?"};

bool is_always_allowed(const char *name) {
    return std::find(std::begin(always_allowed), std::end(always_allowed), std::string_view(name)) != std::end(always_allowed);
}

// The command a hidden entry stands for: the first visible entry of its
// list that runs the same handler; any other entry stands for itself.
const CmdEntry *aliased(const CmdEntry *e) {
    if (!(e->flags & CLI_CMD_HIDDEN))
        return e;
    const CmdEntry *list = (e->flags & CLI_CMD_MESSAGE) ? MsgCmdList : CmdList;
    for (const CmdEntry *other = list; other; other = other->next)
        if (!(other->flags & CLI_CMD_HIDDEN) && other->handler == e->handler)
            return other;
    return e;
}

} // namespace

void cli_set_permission(int (*allowed)(CmdUser *up, const char *cmd)) { permission_hook = allowed; }

int cli_user_credentials(CmdUser *up, uid_t *uid, gid_t *gid, pid_t *pid) {
    if (!up)
        return -1;
    const cli::UserNode *node = cli::node_of(up);
    ucred who{};
    if (cli::is_local(up))
        who = {getpid(), geteuid(), getegid()};
    else if (node->has_peer)
        who = node->peer;
    else
        return -1;
    if (uid)
        *uid = who.uid;
    if (gid)
        *gid = who.gid;
    if (pid)
        *pid = who.pid;
    return 0;
}

namespace cli {

bool permitted(CmdUser *up, const CmdEntry *e) {
    if (!permission_hook || !up || is_always_allowed(e->cmd))
        return true;
    const CmdEntry *named = aliased(e);
    return is_always_allowed(named->cmd) || permission_hook(up, named->cmd) != 0;
}

bool read_peer_credentials(int fd, ucred &peer) {
    socklen_t len = sizeof peer;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) == 0 && len == sizeof peer;
}

} // namespace cli
