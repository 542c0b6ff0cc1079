// registry.cpp -- the command registry: two sorted lists, adding, removing and the lookups.
//
// Each add inserts the entry at its sorted place, which leaves the list as
// appending and re-sorting would (names are unique within a list), in O(N).
// Lookups walk the list in order and stop early once names sort after the
// one wanted.
#include <cstdlib>
#include <cstring>
#include <new>

#include "../common/dlist.h"
#include "internal.h"

CmdEntry *CmdList, *CmdList_end;
CmdEntry *MsgCmdList, *MsgCmdList_end;

namespace {

int handlers_running;       // depth of command handler calls
CmdEntry *retired;          // removed while a handler ran, chained by next

bool is_message(const CmdEntry *e) { return e->flags & CLI_CMD_MESSAGE; }
bool is_hidden(const CmdEntry *e) { return e->flags & CLI_CMD_HIDDEN; }

const char *text_or_null(const char *s) { return s ? s : "(null)"; }

void release(CmdEntry *e) {
    free(e->cmd);
    free(e->usage);
    free(e->desc);
    delete e;
}

void release_chain(CmdEntry *e) {
    while (e) {
        CmdEntry *following = e->next;
        release(e);
        e = following;
    }
}

// Entries removed by a running handler are still read by the dispatcher
// once the handler returns.
void retire(CmdEntry *e) {
    if (handlers_running > 0) {
        e->next = retired;
        retired = e;
    } else {
        release(e);
    }
}

CmdEntry *find_exact(CmdEntry *head, const char *cmd, bool message) {
    for (CmdEntry *e = head; e; e = e->next) {
        const int order = strcmp(e->cmd, cmd);
        if (order == 0 && is_message(e) == message)
            return e;
        if (order > 0)
            break;
    }
    return nullptr;
}

// Inserts before the first entry whose name sorts after e's.
void insert_sorted(CmdEntry *&head, CmdEntry *&tail, CmdEntry *e) {
    CmdEntry *after = head;
    while (after && strcmp(after->cmd, e->cmd) <= 0)
        after = after->next;
    if (!after) {
        zn::list_append(head, tail, e);
        return;
    }
    e->next = after;
    e->prev = after->prev;
    if (after->prev)
        after->prev->next = e;
    else
        head = e;
    after->prev = e;
}

// A copy of a non-empty text, or null for a null or empty one; *failed
// tells a failed allocation from an absent text.
char *copy_text(const char *text, bool &failed) {
    if (!text || !*text)
        return nullptr;
    char *copy = strdup(text);
    failed = !copy;
    return copy;
}

// The texts of a new entry; each failure has its own diagnostic.
bool copy_texts(CmdEntry *e, char *cmd, char *usage, char *desc) {
    bool failed = false;
    e->cmd = copy_text(cmd, failed);
    if (failed) {
        if (cli::debug_on())
            cli::debug("cli_add_cmd: ERR - No memory avaiable for command string\n");
        return false;
    }
    e->usage = copy_text(usage, failed);
    if (failed) {
        if (cli::debug_on())
            cli::debug("cli_add_cmd: ERR - No memory avaiable for command usage\n");
        return false;
    }
    e->desc = copy_text(desc, failed);
    if (failed && cli::debug_on())
        cli::debug("cli_add_cmd: ERR - No memory avaiable for command desc\n");
    return !failed;
}

// Tab offers the visible commands the current user may run.
bool offered(const CmdEntry *e, const char *prefix, size_t len) {
    return !is_hidden(e) && strncmp(e->cmd, prefix, len) == 0 && cli::permitted(current_user, e);
}

// Second Tab: lists the offered names starting with cmd to the current
// user, five to a row, then shows the prompt and the pending input again.
void list_matches(CmdEntry *head, const char *cmd) {
    const size_t len = strlen(cmd);
    CmdUser *const up = current_user;
    cli::print_to(up, "\n");
    int shown = 0;
    for (const CmdEntry *e = head; e; e = e->next) {
        if (!offered(e, cmd, len))
            continue;
        cli::print_to(up, "%-16s", e->cmd);
        if (++shown % 5 == 0)
            cli::print_to(up, "\n");
    }
    if (shown % 5 != 0)
        cli::print_to(up, "\n");
    if (up)
        cli::send_prompt_with_input(up);
}

CmdEntry *find_partial(CmdEntry *head, char *cmd, int tabs, bool message) {
    const char *prefix = cmd ? cmd : "";
    if (tabs == 2) {
        if (!*prefix)
            return find_exact(head, "help", message);
        list_matches(head, prefix);
        return nullptr;
    }
    const size_t len = strlen(prefix);
    CmdEntry *match = nullptr;
    for (CmdEntry *e = head; e; e = e->next) {
        if (!offered(e, prefix, len))
            continue;
        if (match)
            return nullptr; // ambiguous
        match = e;
    }
    return match;
}

// Adding and removing need an initialised registry and a name; function
// names the diagnostics.
bool request_is_valid(const char *function, const char *cmd) {
    if (cli_initialized != 1) {
        if (cli::debug_on())
            cli::debug("%s: Called before initialization\n", function);
        return false;
    }
    if (!cmd || !*cmd) {
        if (cli::debug_on())
            cli::debug("%s: ERR - Received NULL or 0 len command\n", function);
        return false;
    }
    return true;
}

} // namespace

int cli_add_cmd(char *cmd, char *usage, char *desc, int (*handler)(int, char **), ulong_t flags) {
    if (!request_is_valid("cli_add_cmd", cmd))
        return -1;
    if (cli::debug_on())
        cli::debug("cli_add_cmd: Request to add command \"%s\", \"%s\", \"%s\"\n", cmd,
                   text_or_null(usage), text_or_null(desc));
    const bool message = flags & CLI_CMD_MESSAGE;
    if (message ? cli_find_message_cmd(cmd) : cli_find_cmd(cmd)) {
        if (cli::debug_on())
            cli::debug("cli_add_cmd: ERR - Command already exists\n");
        return -17;
    }
    auto *e = new (std::nothrow) CmdEntry{};
    if (!e) {
        if (cli::debug_on())
            cli::debug("cli_add_cmd: ERR - No memory available for command entry\n");
        return -12;
    }
    if (!copy_texts(e, cmd, usage, desc)) {
        release(e);
        return -12;
    }
    e->flags = flags;
    e->handler = handler;
    if (message)
        insert_sorted(MsgCmdList, MsgCmdList_end, e);
    else
        insert_sorted(CmdList, CmdList_end, e);
    ++CliDebug.total_cmds;
    return 0;
}

CmdEntry *cli_find_cmd(char *cmd) { return cmd ? find_exact(CmdList, cmd, false) : nullptr; }

CmdEntry *cli_find_message_cmd(char *cmd) {
    return cmd ? find_exact(MsgCmdList, cmd, true) : nullptr;
}

CmdEntry *cli_find_partial_cmd(char *cmd, int tabs) {
    return find_partial(CmdList, cmd, tabs, false);
}

CmdEntry *cli_find_partial_msg_cmd(char *cmd, int tabs) {
    return find_partial(MsgCmdList, cmd, tabs, true);
}

int cli_remove_cmd(char *cmd) {
    if (!request_is_valid("cli_remove_cmd", cmd))
        return -1;
    if (cli::debug_on())
        cli::debug("cli_remove_cmd: Request to remove command \"%s\"\n", cmd);
    CmdEntry *e = cli_find_cmd(cmd);
    if (!e) {
        if (cli::debug_on())
            cli::debug("cli_remove_cmd: ERR - Command does not exist\n");
        return -2;
    }
    zn::list_unlink(CmdList, CmdList_end, e);
    --CliDebug.total_cmds;
    retire(e);
    return 0;
}

namespace cli {

void registry_reset() {
    CmdList = CmdList_end = nullptr;
    MsgCmdList = MsgCmdList_end = nullptr;
}

void registry_release_all() {
    release_chain(CmdList);
    release_chain(MsgCmdList);
    registry_reset();
    if (handlers_running == 0) {
        release_chain(retired);
        retired = nullptr;
    }
}

HandlerRun::HandlerRun() { ++handlers_running; }

HandlerRun::~HandlerRun() {
    if (--handlers_running == 0) {
        release_chain(retired);
        retired = nullptr;
    }
}

} // namespace cli
