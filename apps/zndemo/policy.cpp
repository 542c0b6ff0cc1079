// policy.cpp -- who may run what on zndemo's console, and where remote users' database files may be.
#include "policy.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "zncli.h"
#include "zndb.h"

namespace zndemo {

namespace {

bool tcp_users_are_admins = false;
std::string data_directory;

// What everyone may run: nothing here changes the daemon or its files
// ("quit", "help" and their aliases the console allows anyway).
const std::set<std::string_view> looking_commands = {"help",   "history", "tasks", "sockets",
                                                     "dblist", "dbdump",  "stats", "quit"};

bool over_tcp(const CmdUser *up) { return up->raddr.sin_family == AF_INET; }

int allowed(CmdUser *up, const char *cmd) {
    uid_t uid;
    const bool trusted_account = cli_user_credentials(up, &uid, nullptr, nullptr) == 0 && (uid == geteuid() || uid == 0);
    if (trusted_account || (tcp_users_are_admins && over_tcp(up)))
        return 1;
    return looking_commands.count(cmd) ? 1 : 0;
}

bool within_data_directory(std::string_view resolved) {
    const std::string_view dir = data_directory;
    return resolved.starts_with(dir) && (resolved.size() == dir.size() || resolved[dir.size()] == '/');
}

// Whether path lies inside the data directory once every symbolic link on
// the way is resolved, the last component's too. A path that does not
// exist yet counts by the directory it would be made in; a link that
// leads nowhere, or a path that cannot be resolved, is outside.
bool inside_data_directory(const std::string &path) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved))
        return within_data_directory(resolved);
    struct stat st;
    if (errno != ENOENT || lstat(path.c_str(), &st) == 0)
        return false;
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    return name != "." && name != ".." && realpath(dir.c_str(), resolved) && within_data_directory(resolved);
}

bool from_terminal(const CmdUser *up) { return up && up->in_fd == STDIN_FILENO; }

int refuse() {
    cli_printf(const_cast<char *>("Permission denied\n"));
    return 0;
}

int (*database_dbsave)(int, char **);
int (*database_dbopen)(int, char **);

// "dbsave <db> <dir>" writes <dir>/<table name>.db.
int guarded_dbsave(int argc, char **argv) {
    if (argc == 3 && !from_terminal(current_user)) {
        const DataBase *db = db_find_dbase(argv[1]);
        if (!inside_data_directory(argv[2]) ||
            (db && !inside_data_directory(std::string(argv[2]) + "/" + db->table_name + ".db")))
            return refuse();
    }
    return database_dbsave(argc, argv);
}

// "dbopen <file>" reads the file as db_open names it: ".db" is added to a
// name without it.
int guarded_dbopen(int argc, char **argv) {
    if (argc == 2 && !from_terminal(current_user)) {
        std::string file = argv[1];
        if (file.find(".db") == std::string::npos)
            file += ".db";
        if (!inside_data_directory(file))
            return refuse();
    }
    return database_dbopen(argc, argv);
}

// The add_cmd handed to the database: its dbsave and dbopen are kept and
// registered behind their guards.
int add_database_command(char *cmd, char *usage, char *desc, int (*handler)(int, char **), ulong_t flags) {
    const struct {
        const char *name;
        int (**kept)(int, char **);
        int (*guard)(int, char **);
    } guarded[] = {{"dbsave", &database_dbsave, guarded_dbsave}, {"dbopen", &database_dbopen, guarded_dbopen}};
    for (const auto &g : guarded) {
        if (strcmp(cmd, g.name) == 0) {
            *g.kept = handler;
            handler = g.guard;
        }
    }
    return cli_add_cmd(cmd, usage, desc, handler, flags);
}

} // namespace

void set_console_policy(bool tcp_admin) {
    tcp_users_are_admins = tcp_admin;
    cli_set_permission(allowed);
}

void register_database_commands(const std::string &data_dir) {
    data_directory = data_dir;
    db_register_cmds(add_database_command, cli_printf);
}

} // namespace zndemo
