// policy.h -- who may run what on zndemo's console, and where remote users' database files may be.
#pragma once

#include <string>

namespace zndemo {

// Installs the permission hook: the local terminal, and local-socket peers
// of the daemon's own account or root, may run everything; TCP users
// (unless tcp_admin) and local peers of other accounts only the commands
// that change nothing: help, history, tasks, sockets, dblist, dbdump,
// stats, quit and its aliases.
void set_console_policy(bool tcp_admin);

// The database's console commands, with "dbsave" and "dbopen" taking from
// remote users only paths inside data_dir (an absolute path without
// symbolic links) once every symbolic link is resolved; anything else is
// refused with "Permission denied". The local terminal may name any path.
void register_database_commands(const std::string &data_dir);

} // namespace zndemo
