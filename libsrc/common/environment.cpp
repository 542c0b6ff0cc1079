// environment.cpp -- service-manager variables: numbers, and removal that other processes see too.
#include "environment.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern char **environ;

namespace zn {

namespace {

// Addresses [start, end) of the environment text the kernel wrote at exec.
struct Block {
    uintptr_t start = 0, end = 0;
    bool holds(const char *text) const {
        const auto at = reinterpret_cast<uintptr_t>(text);
        return at >= start && at < end;
    }
};

// Fields 50 and 51 of /proc/self/stat (counted from 1; the command name in
// the second field is parenthesised and may hold spaces, so counting starts
// after its closing parenthesis). Empty when /proc cannot tell.
Block exec_block() {
    char stat[2048];
    const int fd = open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    const ssize_t n = read(fd, stat, sizeof stat - 1);
    close(fd);
    if (n <= 0)
        return {};
    stat[n] = '\0';
    Block block;
    const char *p = strrchr(stat, ')');
    for (int field = 3; p && field <= 51; ++field) {
        p = strchr(p + 1, ' ');
        if (p && field == 50)
            block.start = strtoull(p + 1, nullptr, 10);
        else if (p && field == 51)
            block.end = strtoull(p + 1, nullptr, 10);
    }
    return block;
}

bool defines(const char *entry, const char *name, size_t name_len) {
    return strncmp(entry, name, name_len) == 0 && entry[name_len] == '=';
}

} // namespace

std::optional<unsigned long long> environment_number(const char *name) {
    const char *text = getenv(name);
    if (!text || !*text || !std::all_of(text, text + strlen(text), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    errno = 0;
    const unsigned long long value = strtoull(text, nullptr, 10);
    if (errno == ERANGE)
        return std::nullopt;
    return value;
}

// A name is normally defined once; a few more definitions are blanked as
// well, any beyond those are only unset.
void environment_remove(const char *name) {
    if (!getenv(name))
        return;
    const size_t name_len = strlen(name);
    const Block block = exec_block();
    std::array<char *, 8> in_block{};
    size_t found = 0;
    for (char **entry = environ; entry && *entry && found < in_block.size(); ++entry)
        if (defines(*entry, name, name_len) && block.holds(*entry))
            in_block[found++] = *entry;
    unsetenv(name);
    for (size_t i = 0; i < found; ++i)
        memset(in_block[i], 0, strlen(in_block[i]));
}

} // namespace zn
