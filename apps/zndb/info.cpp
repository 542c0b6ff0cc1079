// info.cpp -- zndb info: what a data file holds, read byte by byte, and who holds its lock.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>

#include "commands.h"
#include "escape.h"
#include "examine.h"

namespace zndb_tool {

namespace {

// The process id a lock file names: the last word of its text, as both
// "Locked by PID %ld\r\n" and "Temporarally locked to save, pid %ld\n" end;
// 0 when there is none.
long lock_owner(const std::string &text) {
    const size_t end = text.find_last_not_of(" \r\n");
    if (end == std::string::npos)
        return 0;
    const size_t begin = text.find_last_of(' ', end) + 1;
    long pid = 0;
    const auto [stop, error] = std::from_chars(text.data() + begin, text.data() + end + 1, pid);
    return error == std::errc() && stop == text.data() + end + 1 && pid > 0 ? pid : 0;
}

// The lock file beside the data file, as info shows it: "none", in use, or
// stale when the process it names no longer runs on this machine.
std::string lock_state(const std::string &lock) {
    if (access(lock.c_str(), F_OK) != 0)
        return "none";
    std::string text, why;
    const long pid = zn_datafile::read_whole_file(lock, text, why) ? lock_owner(text) : 0;
    if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
        return lock + " (stale: process " + std::to_string(pid) + " is gone)";
    return lock + " (in use)";
}

} // namespace

int run_info(const Invocation &inv) {
    const std::string &path = inv.files[0];
    Examined ex;
    if (!examine_reporting(path, inv.swapped, ex))
        return 1;
    const zn_datafile::Layout &l = ex.layout;
    printf("File          : %s\n", path.c_str());
    printf("Size          : %llu bytes\n", static_cast<unsigned long long>(l.size));
    printf("Description   : %s\n", zn_apps::escape_bytes(l.description).c_str());
    printf("Version       : %ld\n", static_cast<long>(l.version));
    printf("Records       : %ld (header)\n", static_cast<long>(l.records));
    printf("Record blocks : %llu present\n", static_cast<unsigned long long>(l.blocks));
    printf("Byte order    : %s\n", inv.swapped ? "byte-reversed (--swapped)" : "host order");
    printf("Lock file     : %s\n", lock_state(path + ".locked").c_str());
    printf("Problem       : %s\n", l.problem ? describe(*l.problem).c_str() : "none");
    if (ex.other_order_sound)
        printf("Note          : %s\n", other_order_hint(inv.swapped).c_str());
    return 0;
}

} // namespace zndb_tool
