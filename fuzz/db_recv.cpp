// Fuzz target: arbitrary bytes received as a transfer stream by the standalone build, in both
// byte orders, from a socket (peeked at) and from a pipe (read no further than the stream goes).
//
// Whatever arrives is walked and closed; a failed receive must leave the
// catalogue empty, and a successful one must have consumed the input up to
// an end word and not a byte more.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "zndb.h"

namespace {

// Inputs are cut to what a socket or pipe buffers without a reader.
constexpr size_t max_input = 32 * 1024;

std::string read_rest(int fd) {
    std::string rest;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        rest.append(buf, static_cast<size_t>(n));
    return rest;
}

void receive(const uint8_t *data, size_t size, bool socket, int swap) {
    int fd[2];
    if ((socket ? socketpair(AF_UNIX, SOCK_STREAM, 0, fd) : pipe(fd)) != 0)
        return;
    const int reader = fd[0], writer = fd[1];
    if (write(writer, data, size) != static_cast<ssize_t>(size))
        __builtin_trap();
    close(writer);
    db_set_byte_swap(swap);
    const int result = db_recv(reader);
    const std::string rest = read_rest(reader);
    close(reader);
    if (result != 0) {
        if (_db_list)
            __builtin_trap(); // a failed receive leaves nothing behind
        return;
    }
    const size_t used = size - rest.size();
    uint32_t end = 0xDEADBEEFu;
    if (swap)
        end = __builtin_bswap32(end);
    if (used < 176 || memcmp(data + used - 4, &end, 4) != 0 || memcmp(data + used, rest.data(), rest.size()) != 0)
        __builtin_trap(); // consumed exactly up to an end word
    DataBase *db = _db_list->db;
    db_start(db);
    while (DataBaseInfo *dbi = db_next(db))
        for (DataBaseParam *p = dbi->p_first; p; p = p->next)
            (void)db_param_string(p);
    db_close_all();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    db_set_verbose(0);
    // The message of an impossible length is printed whatever the setting.
    if (!freopen("/dev/null", "w", stdout))
        return 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    size = size < max_input ? size : max_input;
    for (int swap = 0; swap < 2; ++swap)
        for (bool socket : {true, false})
            receive(data, size, socket, swap);
    return 0;
}
