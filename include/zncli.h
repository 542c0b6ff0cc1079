/*
 * zncli.h -- the zn command console: a command registry, console users (the
 * local terminal, and remote users over TCP or a local Unix-domain socket),
 * who may connect and run what, a line editor, buffered output and the
 * built-in commands.
 *
 * An application calls cli_init(port) after sched_init(), optionally
 * cli_add_console() for the local terminal, registers its commands with
 * cli_add_cmd() and runs sched_loop(). The scheduler calls cli_fd_event()
 * whenever a console descriptor is ready; typed lines are edited, split into
 * words and dispatched to the command handlers, whose output goes to the
 * typing user through cli_printf().
 *
 * Remote protocol, over TCP and the local socket alike: after connecting,
 * a client sends the 4-byte handshake value 0x5C1E7A93 (most significant
 * byte first, in one write or several, within the handshake time-out)
 * and receives the acknowledgement 0x3D96B2E4 and the prompt; from then on
 * both sides exchange plain text. The connection is a byte stream: every
 * CR, LF or CR LF ends a line, whatever the writes, so a client may send
 * its first lines with the handshake, and any number of lines per write;
 * each line's output and prompt come before anything of the next line.
 *
 * Conventions:
 *   - Everything runs on the scheduler's thread; nothing here is reentrant.
 *   - Results are 0 on success, -1 when the console is not initialised (or
 *     on general failure), -2 not found, -12 out of memory, -17 already
 *     there. Command handlers return 0 (done), -1 (wrong usage: the usage
 *     line is printed) or -2 (the user or the program is gone).
 *   - The console copies the texts it is given and owns every CmdEntry and
 *     CmdUser record; callers hold pointers and never free them. A removed
 *     user's record stays readable until the descriptor event in which it
 *     was removed has been handled (removals outside such an event: until
 *     the next one), then it is released.
 *   - Users whose input descriptor is 3 or less are local console users:
 *     their descriptors are never closed by the console. Those of every
 *     other user are closed by the console when the connection ends or
 *     fails, at "quit" and at clean-up; after cli_remove_user() they are the
 *     caller's to close. A debug channel (cli_debug_fd, sched_debug_fd)
 *     writing to a descriptor the console closes is switched off then.
 *   - Diagnostics go to cli_debug_fd while cli_debug_flag is above 0, one
 *     write() per line, each line starting with the function's name.
 */
#ifndef ZN_ZNCLI_H
#define ZN_ZNCLI_H

#include <netinet/in.h>
#include <sys/types.h>
#include <termio.h>

#include "typedefs.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Command registry. ---- */

/* Command flags. */
#define CLI_CMD_HIDDEN  0x01UL /* left out of help and Tab completion */
#define CLI_CMD_MESSAGE 0x02UL /* a message command, typed as "/name" */

/* One registered command; texts are the console's own copies. */
typedef struct CmdEntry {
    ulong_t flags;                         /* CLI_CMD_* (other bits kept) */
    char *cmd;                             /* name; never null or empty */
    char *usage;                           /* arguments text, or null */
    char *desc;                            /* one-line description, or null */
    int (*handler)(int argc, char **argv); /* the command */
    struct CmdEntry *next, *prev;
} CmdEntry, CmdEntry_t;

/* Both lists are kept in ascending strcmp() order of the names. */
ZN_EXPORT extern CmdEntry *CmdList, *CmdList_end;       /* ordinary commands */
ZN_EXPORT extern CmdEntry *MsgCmdList, *MsgCmdList_end; /* message commands */

/* Register a command; cmd, usage and desc are copied (an empty usage or
 * description is stored as null). CLI_CMD_MESSAGE puts it on the message
 * list. Returns 0, -1 before cli_init() or for a null or empty name, -17
 * when the name is on the target list already, -12 out of memory; a failed
 * add changes nothing. Other libraries receive this function as their
 * add_cmd callback. */
ZN_EXPORT int cli_add_cmd(char *cmd, char *usage, char *desc,
                          int (*handler)(int argc, char **argv), ulong_t flags);

/* The ordinary command named exactly cmd (case-sensitive), hidden ones
 * included; null when none. */
ZN_EXPORT CmdEntry *cli_find_cmd(char *cmd);

/* The message command named exactly cmd; null when none. */
ZN_EXPORT CmdEntry *cli_find_message_cmd(char *cmd);

/* Prefix lookup over the visible ordinary commands that current_user may
 * run (cli_set_permission). tabs 1 (any value but 2): the single command
 * whose name starts with cmd, null when none or several do. tabs 2: an
 * empty cmd returns the "help" entry; otherwise the matching names are
 * listed to current_user (16 columns, five a row), the prompt and the
 * pending input are shown again, and null is returned. */
ZN_EXPORT CmdEntry *cli_find_partial_cmd(char *cmd, int tabs);

/* The same over the visible message commands. */
ZN_EXPORT CmdEntry *cli_find_partial_msg_cmd(char *cmd, int tabs);

/* Unregister the ordinary command named cmd (an alias goes alone). An entry
 * removed by its own handler stays readable until that handler returns.
 * Returns 0, -1 before cli_init() or for a null or empty name, -2 when no
 * ordinary command has that name. */
ZN_EXPORT int cli_remove_cmd(char *cmd);

/* ---- Users and connections. ---- */

/* User states (state field). The console sets 0, 1 and 2 itself; an
 * application switches a user to 3 or 4 (and back to 1) by writing it. */
#define CLI_STATE_MAGIC        0 /* remote user awaiting the handshake */
#define CLI_STATE_COMMAND      1 /* lines are commands */
#define CLI_STATE_GETSTR       2 /* next line goes to str_handler */
#define CLI_STATE_MESSAGE      3 /* "/name" runs a message command, other
                                    lines go to output_handler */
#define CLI_STATE_MESSAGE_ONLY 4 /* every line goes to output_handler */

/* Match types of cli_find_user() and cli_remove_user(). */
#define CLI_MATCH_ANY  0 /* either descriptor equals either given one */
#define CLI_MATCH_IN   1 /* in_fd equals the given in_fd */
#define CLI_MATCH_OUT  2 /* out_fd equals the given out_fd */
#define CLI_MATCH_BOTH 3 /* both equal */

/* Output types: cli_output()'s type and the output hook's first argument. */
#define CLI_OUT_ECHO    1 /* echo and line-editing feedback */
#define CLI_OUT_TEXT    2 /* command output and editor messages */
#define CLI_OUT_PROMPT  4 /* the prompt, alone or with the pending input */
#define CLI_OUT_MESSAGE 8 /* a message line handed to the hook */

/* One console user. */
typedef struct CmdUser {
    int state;               /* CLI_STATE_* */
    char *who;               /* title (copy) for diagnostics, or null */
    int in_fd;               /* read for input */
    int out_fd;              /* written for output (in_fd for remote users) */
    char in_buf[2048];       /* raw bytes of the line being typed */
    char out_buf[2048];      /* output not yet written, at the front */
    char history[10][256];   /* the last ten command lines */
    int in_len;              /* bytes in in_buf */
    int out_len;             /* bytes in out_buf */
    int echo_ptr;            /* bytes of in_buf already processed */
    int echo_on;             /* 1: typed input is echoed */
    int history_ptr;         /* slot of the next recorded line, 0..9 */
    int history_used;        /* filled slots, 0..10 */
    int arrow_ptr;           /* slot shown by arrow keys; -1 = none */
    int tabs;                /* 1 after a Tab that completed nothing */
    int (*str_handler)(void *arg, char *line);  /* pending string request */
    int (*output_handler)(uchar_t type, struct CmdUser *up, void *buf, int len);
    int (*message_handler)(struct CmdUser *up); /* for the application */
    uchar_t output_flags;    /* for the application */
    void *str_arg;           /* handed to str_handler */
    struct termio old_termio;   /* terminal settings restored at clean-up */
    struct sockaddr_in raddr;   /* peer of a remote user, else all zero */
    struct CmdUser *next, *prev;
} CmdUser, CmdUser_t;

/* The console's statistics. */
typedef struct CmdDebug {
    ulong_t tm_init;     /* time() of cli_init */
    ulong_t total_cmds;  /* commands registered */
    ulong_t total_users; /* users on the list */
} CmdDebug, CmdDebug_t;

ZN_EXPORT extern CmdUser *CmdUserList, *CmdUserList_end; /* in order of adding */
ZN_EXPORT extern CmdUser *current_user; /* user whose input is handled, else null */
ZN_EXPORT extern CmdDebug CliDebug;
ZN_EXPORT extern ushort_t cli_port;     /* port served: cli_init's, or that of the
                                           service manager's socket; 0 = none */
ZN_EXPORT extern int cli_accept_fd;     /* listening socket; -1 = none */
ZN_EXPORT extern int cli_initialized;   /* 1 after cli_init */

/* Limit the listening socket of later cli_init() calls to one local IPv4
 * address in dotted form ("127.0.0.1"). Without it the socket listens on
 * every local address. Returns 0, or -1 (setting unchanged) for a null
 * text or one that is not a dotted IPv4 address. */
ZN_EXPORT int cli_set_listen_address(const char *addr);

/* Initialise the console (again): empties the command and user lists
 * (earlier records are not released), clears the prompt, registers the
 * built-in commands ("shutdown" only with a port) and the scheduler's
 * commands, and the clean-up task "CLI Cleanup". With a port other than 0
 * it listens there (SO_REUSEADDR, the system's backlog SOMAXCONN, so that a
 * burst of connections waits for no SYN retry) and registers the socket as
 * "CLI Accept". Call after sched_init(). Returns 0, or -1 when the listening
 * socket could not be set up (the console is usable all the same).
 *
 * Socket activation: when the service manager passed descriptors to this
 * process ($LISTEN_PID is this process, $LISTEN_FDS counts them from
 * descriptor 3 on), the first listening TCP socket over IPv4 among them
 * becomes "CLI Accept" instead, whatever the port argument and the listen
 * address: nothing is bound, and cli_port takes the socket's port. The
 * first listening Unix-domain stream socket among them becomes the local
 * console socket (see cli_listen_unix(), which then fails with EALREADY);
 * its file belongs to the manager and stays at clean-up. Other descriptors
 * are left open and untouched. Every call removes $LISTEN_PID,
 * $LISTEN_FDS and $LISTEN_FDNAMES from the environment; an application that
 * wants the descriptors the console leaves must read them first. */
ZN_EXPORT int cli_init(ushort_t debug_port);

/* Add the local terminal (standard input and output) as user "Console",
 * switching it to character-at-a-time input without echo or signal keys
 * until clean-up. With cmd null the prompt is shown; otherwise cmd is run
 * once as typed, without echo (each of its lines in turn, the last ended
 * for it), and its output and the prompt are shown. Returns 0, or
 * cli_add_user()'s negative result. */
ZN_EXPORT int cli_add_console(char *cmd,
                              int (*output_handler)(uchar_t, struct CmdUser *, void *, int));

/* Add a user reading in_fd and writing out_fd (who is copied; raddr copied
 * when given), register its descriptors with the scheduler and, with prompt
 * 1, send the prompt. Users with in_fd above 3 start in handshake state.
 * Returns 0; -1 before cli_init() or when starting failed (nothing stays
 * registered); -17 when a user has one of the descriptors; -12 out of
 * memory. */
ZN_EXPORT int cli_add_user(int in_fd, int out_fd, char *who, struct sockaddr_in *raddr,
                           int prompt,
                           int (*output_handler)(uchar_t, struct CmdUser *, void *, int));

/* The first user matching the descriptors by the CLI_MATCH_* type; null
 * when none (or for an unknown type). */
ZN_EXPORT struct CmdUser *cli_find_user(int in_fd, int out_fd, int type);

/* Unregister the first matching user's descriptors and take it off the list
 * (the descriptors stay open: they are the caller's to close, and debug
 * channels writing to them stay on). Returns 0, or -2 when no user
 * matches. */
ZN_EXPORT int cli_remove_user(int in_fd, int out_fd, int type);

/* Switch up's terminal (if in_fd is one) to raw input, register its
 * descriptors and, with prompt 1, send the prompt. Returns 0, or -1 when a
 * step failed (the descriptors registered by it are withdrawn again). */
ZN_EXPORT int cli_start_user(struct CmdUser *up, int prompt);

/* The scheduler's handler of the listening sockets and of every user
 * descriptor: accepts connections (within cli_set_limits()), reads and
 * edits input, writes pending output. A remote user whose connection ends
 * or fails is removed and its socket closed. When accept() finds no
 * descriptor free (EMFILE, ENFILE), the listening sockets are not watched
 * for a second, or until a user leaves. */
ZN_EXPORT void cli_fd_event(int fd, void *arg, int r, int w, int e);

/* ---- Who may connect, and who may run what. ---- */

/* Listen for console users on a Unix-domain stream socket at path as well
 * (one such socket per process; call after cli_init(), also when its port
 * was 0). Users accepted there are titled "Local User", speak exactly the
 * protocol of TCP users, and carry the peer process's credentials
 * (cli_user_credentials). The socket file is created with exactly mode
 * (permission bits, at most 07777), whatever the umask, before anyone can
 * connect; the umask is cleared for the bind() call alone, so no other
 * thread should create files then. An existing file at path is replaced
 * only when it is a socket nobody listens on (a connect attempt tells);
 * anything else there - a live socket, a file that is no socket, a path
 * that cannot be examined - is left untouched and the call fails. At
 * clean-up the file is removed if it is still the one made here (a
 * relative path is taken from the working directory of that moment). The
 * listening socket is registered as "CLI Local Accept". Returns 0, or -1
 * with a debug line and errno set: EADDRINUSE a process listens at path,
 * EEXIST the file there is no socket, EALREADY a local socket is open
 * already, ENAMETOOLONG the path does not fit a socket address, EINVAL a
 * null or empty path or a bad mode, ENODEV before cli_init(); otherwise
 * the failed system call's errno. */
ZN_EXPORT int cli_listen_unix(const char *path, int mode);

/* The credentials of the process at the other end of up: for a user of the
 * local socket, those its peer had when it connected (SO_PEERCRED); for a
 * local console user (input descriptor 3 or less), this process's effective
 * ids and its pid. Fills what is not null and returns 0; returns -1 (and
 * fills nothing) for TCP users, other users and a null up. */
ZN_EXPORT int cli_user_credentials(struct CmdUser *up, uid_t *uid, gid_t *gid, pid_t *pid);

/* Install the permission hook (null, the default, allows everything). Before
 * a line is run as a command, allowed(up, name) is asked with the user and
 * the name of the command found (after "!" expansion; message commands by
 * their name without "/"); 0 refuses: the user gets "Permission denied\n"
 * and the prompt, and nothing runs. A hidden command that runs the handler
 * of a visible command on the same list is that command's alias and is
 * asked about by the visible command's name. "quit", "exit", "bye",
 * "logout", "help" and "?" are always allowed without asking. Help listings,
 * "help <name>" and Tab completion show a user only what it may run. The
 * hook must not remove users or commands. */
ZN_EXPORT void cli_set_permission(int (*allowed)(struct CmdUser *up, const char *cmd));

/* Limits on connections, kept across cli_init() and usable before it; a
 * negative value leaves its setting as it is.
 *   max_users: at most this many users accepted over TCP and the local
 *     socket together at once (default 128; 0 admits none). A connection
 *     beyond it is closed at once, before its handshake, with a debug line;
 *     users already in stay.
 *   handshake_seconds: a connection that has not completed its handshake
 *     this long after it was accepted is closed, within a second after
 *     (default 10; 0: never). A change applies to connections waiting now.
 * Users past the handshake, and users added with cli_add_user(), have no
 * time-out and do not count. */
ZN_EXPORT void cli_set_limits(int max_users, int handshake_seconds);

/* ---- Input processing. ---- */

/* The line editor: processes up's new bytes, from echo_ptr to in_len, as
 * cli_fd_event processes a read: the handshake value in handshake state,
 * then echo, editing keys, Tab completion and history, and each line that
 * ends among them dispatched in turn; an unfinished last line stays. Sets
 * current_user to up while it edits. Returns -1 when up was in handshake
 * state, -2 when a command handler returned -2 or up was removed (the rest
 * of the bytes is dropped; up may be gone), else 0. */
ZN_EXPORT int cli_receive_data(struct CmdUser *up);

/* From a command handler: hand up's next line to str_handler(str_arg, line)
 * instead of running it; the dispatcher sends no prompt meanwhile, and a
 * str_handler result of 0 sends it afterwards. Returns 0, or -1 for a null
 * user or handler or a request already pending. */
ZN_EXPORT int cli_getstr(struct CmdUser *up, int (*str_handler)(void *, char *),
                         void *str_arg);

/* ---- Output and prompt. ---- */

ZN_EXPORT extern char cli_prompt[256]; /* the prompt of every user */
ZN_EXPORT extern int cli_debug_flag;   /* 0 off, 1 on, 2 plus a byte trace */
ZN_EXPORT extern int cli_debug_fd;     /* destination of diagnostics; -1 none */

/* Send len bytes to up: at once when nothing is pending (through the
 * output hook when set, else to out_fd), otherwise, and for what could not
 * be written, into the 2048-byte output buffer, written when out_fd becomes
 * writable. Returns 0 when written or queued; -1 when the text does not fit
 * into the free part of the buffer (nothing is queued), when up has been
 * removed, or when the descriptor failed (the user is then removed).
 * While a remote user's input is handled, its output collects in the
 * buffer and leaves in one write at the end, unless the user has a hook
 * (which then sees everything from the moment it is set) or a debug channel
 * writes to out_fd (whose lines come in order with the output). */
ZN_EXPORT int cli_output(struct CmdUser *up, char *buf, int len, uchar_t type);

/* printf to current_user as CLI_OUT_TEXT; the text is cut to 2047 bytes.
 * Returns the formatted length, or -1 when there is no current user or
 * cli_output() failed. Other libraries receive it as print_func. */
ZN_EXPORT int cli_printf(char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* Write up's pending output, waiting about one second at most for the
 * descriptor to take it. Returns 0 when all was written; -1 when a write
 * failed (the user is removed) or the time ran out (the rest stays queued). */
ZN_EXPORT int cli_flush(struct CmdUser *up);

/* Replace the prompt (cut to 255 bytes; null means empty). Nothing is sent. */
ZN_EXPORT void cli_set_prompt(char *new_prompt);

/* Send the prompt followed by up's pending input (after unsolicited output). */
ZN_EXPORT void cli_reprint_prompt(struct CmdUser *up);

/* Set cli_debug_flag and cli_debug_fd, unchecked; may precede cli_init(). */
ZN_EXPORT void cli_set_debug(int debug, int debugfd);

/* ---- Built-in command texts: read by cli_init(), copied by the registry. */

ZN_EXPORT extern char *cmd_help_desc, *cmd_help_usage;
ZN_EXPORT extern char *cmd_quit_desc, *cmd_quit_usage;
ZN_EXPORT extern char *cmd_shutdown_desc, *cmd_shutdown_usage;
ZN_EXPORT extern char *cmd_history_desc, *cmd_history_usage;
ZN_EXPORT extern char *cmd_debug_desc, *cmd_debug_usage;

/* ---- Argument splitting (static storage, not reentrant). ---- */

ZN_EXPORT extern char *stringbase; /* scan position in the line being split */
ZN_EXPORT extern char *argbase;    /* next free byte of argbuf */
ZN_EXPORT extern char argbuf[200]; /* the words, each NUL-terminated */
ZN_EXPORT extern int slrflag;      /* 0, 1, 2: progress towards the 2nd word */
ZN_EXPORT extern char *altarg;     /* 2nd word's position in the line, or null */

/* Split line into words (blanks and tabs separate; double quotes group; a
 * backslash outside quotes takes the next character literally). Stores the
 * count in *pargc and, when parg is not null, the second word's position in
 * line (null with fewer than two words) in *parg. Returns the splitter's
 * null-terminated vector, valid until the next split. At most 19 words and
 * 200 bytes of words fit; a line needing more yields the words that fit. */
ZN_EXPORT char **nmakeargv(char *line, int *pargc, char **parg);

/* The word scanner of nmakeargv(): copies the next word from stringbase to
 * argbase and returns it, or null when no further word fits or exists. */
ZN_EXPORT char *slurpstring(void);

/* Join the continuation text stored right after line's terminating NUL to
 * line (with a blank; a final line feed is dropped) and split it again.
 * Prints "(prompt) " on standard output first, preceded by "sorry,
 * arguments too long" when line already holds 199 bytes or more. Stores the
 * new count and vector; returns 1 when the count grew, else 0. */
ZN_EXPORT int another(char *line, int *pargc, char ***pargv, const char *prompt);

#ifdef __cplusplus
}
#endif

#endif /* ZN_ZNCLI_H */
