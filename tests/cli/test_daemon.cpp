// test_daemon.cpp -- a small console daemon that the end-to-end tests drive over TCP and a pty.
//
// Usage: cli_test_daemon PORT [--listen ADDR] [--console [CMD]] [--debug]
//                           [--max-fds N] [--socket PATH [--socket-mode OCTAL]]
//                           [--limits USERS SECONDS] [--policy] [--db]
// --max-fds lowers the limit of open descriptors to N. --socket listens on a
// local socket as well (mode 0666 unless given), or serves the one the
// service manager passed instead, and adds "whoami". --limits sets the user
// limit and the handshake time-out. --policy lets peers of another uid than
// the daemon's (and not root) run only help, history, args, whoami, dblist
// and dbdump; TCP users run everything. --db adds the database commands and
// a database "sample". Without --console it prints "ready\n" on standard
// error once the console is set up, or "cli_init failed\n" (exit status 3)
// when the port or the socket could not be opened.
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <set>
#include <string_view>

#include "zncli.h"
#include "zndb.h"
#include "znsched.h"

namespace {

char prompt_text[] = "zn> ";

// Prints its words, one per line, to show how the line was split.
int cmd_args(int argc, char **argv) {
    cli_printf(const_cast<char *>("argc=%d\n"), argc);
    for (int i = 0; i < argc; ++i)
        cli_printf(const_cast<char *>("[%s]\n"), argv[i]);
    return 0;
}

int cmd_usage(int, char **) { return -1; }

int answer(void *, char *line) {
    cli_printf(const_cast<char *>("got [%s]\n"), line);
    return 0;
}

int cmd_ask(int, char **) {
    cli_getstr(current_user, answer, nullptr);
    cli_printf(const_cast<char *>("Your name? "));
    return 0;
}

// "flood N": N numbered lines of 60 bytes.
int cmd_flood(int argc, char **argv) {
    const int lines = argc > 1 ? atoi(argv[1]) : 100;
    for (int i = 0; i < lines; ++i)
        cli_printf(const_cast<char *>("%06d flood flood flood flood flood flood flood flood flood\n"), i);
    return 0;
}

// Open descriptors of this process, to show that nothing leaks.
int cmd_fds(int, char **) {
    int count = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++count;
        closedir(dir);
        count -= 3; // ".", ".." and the directory's own descriptor
    }
    cli_printf(const_cast<char *>("fds=%d users=%lu\n"), count, CliDebug.total_users);
    return 0;
}

// Output hook for message tests: message lines are shown tagged, all other
// output is written unchanged.
int tagging_hook(uchar_t type, CmdUser *up, void *buf, int len) {
    std::string text;
    if (type == CLI_OUT_MESSAGE)
        text = "MSG(" + std::to_string(len) + "):" + std::string(static_cast<char *>(buf), len) + "\n";
    else
        text.assign(static_cast<char *>(buf), len);
    ssize_t ignored = write(up->out_fd, text.data(), text.size());
    (void)ignored;
    return len;
}

int cmd_message_mode(int argc, char **argv) {
    current_user->output_handler = tagging_hook;
    current_user->state = argc > 1 && strcmp(argv[1], "only") == 0 ? CLI_STATE_MESSAGE_ONLY
                                                                      : CLI_STATE_MESSAGE;
    return 0;
}

int cmd_back(int, char **) {
    current_user->state = CLI_STATE_COMMAND;
    return 0;
}

int cmd_prompt(int argc, char **argv) {
    cli_set_prompt(argc > 1 ? argv[1] : nullptr);
    return 0;
}

// Text to every other user, each of whom then sees the prompt and the line
// being typed again.
int cmd_broadcast(int argc, char **argv) {
    std::string text = "\n*";
    for (int i = 1; i < argc; ++i)
        text += std::string(" ") + argv[i];
    text += "\n";
    for (CmdUser *up = CmdUserList; up; up = up->next) {
        if (up == current_user)
            continue;
        cli_output(up, text.data(), static_cast<int>(text.size()), CLI_OUT_TEXT);
        cli_reprint_prompt(up);
    }
    return 0;
}

// The credentials of the typing user as the console knows them.
int cmd_whoami(int, char **) {
    uid_t uid;
    gid_t gid;
    pid_t pid;
    if (cli_user_credentials(current_user, &uid, &gid, &pid) != 0)
        cli_printf(const_cast<char *>("no credentials (%s)\n"), current_user->who);
    else
        cli_printf(const_cast<char *>("uid=%ld gid=%ld pid=%ld (%s)\n"), static_cast<long>(uid),
                   static_cast<long>(gid), static_cast<long>(pid), current_user->who);
    return 0;
}

// --policy: local peers of another account may only look.
int looking_only(CmdUser *up, const char *cmd) {
    static const std::set<std::string_view> harmless = {"help", "history", "args", "whoami", "dblist", "dbdump"};
    uid_t uid;
    if (cli_user_credentials(up, &uid, nullptr, nullptr) != 0 || uid == geteuid() || uid == 0)
        return 1;
    return harmless.count(cmd);
}

struct Command {
    const char *name, *usage, *desc;
    int (*handler)(int, char **);
    ulong_t flags;
};

const Command commands[] = {
    {"args", nullptr, "Show the words of the line", cmd_args, 0},
    {"usage-test", "<name> <dir>", "Always wrong", cmd_usage, 0},
    {"ask", nullptr, nullptr, cmd_ask, 0},
    {"flood", "<lines>", "Print many lines", cmd_flood, 0},
    {"fds", nullptr, "Count open descriptors", cmd_fds, 0},
    {"message-mode", "[only]", "Enter message state", cmd_message_mode, 0},
    {"back", nullptr, "Leave message state", cmd_back, CLI_CMD_MESSAGE},
    {"prompt", "<text>", "Set the prompt", cmd_prompt, 0},
    {"broadcast", "<text>", "Tell everyone else", cmd_broadcast, 0},
};

// With a local socket.
char whoami_name[] = "whoami";
char whoami_desc[] = "Show the credentials of your connection";

char sample_name[] = "sample";
char sample_desc[] = "Sample";

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s PORT [--listen ADDR] [--console [CMD]] [--debug] [--max-fds N] "
                        "[--socket PATH [--socket-mode OCTAL]] [--limits USERS SECONDS] [--policy] [--db]\n",
                argv[0]);
        return 2;
    }
    const auto port = static_cast<ushort_t>(atoi(argv[1]));
    bool console = false, with_db = false;
    char *console_cmd = nullptr;
    const char *socket_path = nullptr;
    int socket_mode = 0666;
    for (int i = 2; i < argc; ++i) {
        if (strcmp(argv[i], "--listen") == 0 && i + 1 < argc) {
            if (cli_set_listen_address(argv[++i]) != 0)
                return 2;
        } else if (strcmp(argv[i], "--console") == 0) {
            console = true;
            if (i + 1 < argc && argv[i + 1][0] != '-')
                console_cmd = argv[++i];
        } else if (strcmp(argv[i], "--debug") == 0) {
            cli_set_debug(1, STDERR_FILENO);
        } else if (strcmp(argv[i], "--max-fds") == 0 && i + 1 < argc) {
            rlimit limit{};
            getrlimit(RLIMIT_NOFILE, &limit);
            limit.rlim_cur = static_cast<rlim_t>(atoi(argv[++i]));
            if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
                return 2;
        } else if (strcmp(argv[i], "--socket") == 0 && i + 1 < argc) {
            socket_path = argv[++i];
        } else if (strcmp(argv[i], "--socket-mode") == 0 && i + 1 < argc) {
            socket_mode = static_cast<int>(strtol(argv[++i], nullptr, 8));
        } else if (strcmp(argv[i], "--limits") == 0 && i + 2 < argc) {
            cli_set_limits(atoi(argv[i + 1]), atoi(argv[i + 2]));
            i += 2;
        } else if (strcmp(argv[i], "--policy") == 0) {
            cli_set_permission(looking_only);
        } else if (strcmp(argv[i], "--db") == 0) {
            with_db = true;
        }
    }
    sched_init();
    // EALREADY: the local socket is the one the service manager passed.
    if (cli_init(port) != 0 ||
        (socket_path && cli_listen_unix(socket_path, socket_mode) != 0 && errno != EALREADY)) {
        fprintf(stderr, "cli_init failed\n");
        return 3;
    }
    if (socket_path)
        cli_add_cmd(whoami_name, nullptr, whoami_desc, cmd_whoami, 0);
    if (with_db) {
        db_register_cmds(cli_add_cmd, cli_printf);
        db_set_verbose(0);
        db_create(sample_name, sample_desc, 1);
    }
    cli_set_prompt(prompt_text);
    for (const Command &c : commands)
        cli_add_cmd(const_cast<char *>(c.name), const_cast<char *>(c.usage),
                    const_cast<char *>(c.desc), c.handler, c.flags);
    if (console && cli_add_console(console_cmd, nullptr) != 0)
        return 4;
    if (!console) // a console shows its prompt instead
        fprintf(stderr, "ready\n");
    sched_loop();
    return 0;
}
