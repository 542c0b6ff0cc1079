// argv.cpp -- fuzz target: the argument splitter and its continuation function.
//
// The input is a line (the bytes up to the first NUL); what follows the NUL,
// if anything, is used as a continuation for another().
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "zncli.h"

namespace {

// The vector must be null-terminated with at most 19 words, every word
// inside argbuf and terminated there, and the second word's position
// inside the line.
void check(char **argv, int argc, const char *line, size_t line_len, const char *rest) {
    if (argc < 0 || argc > 19 || argv[argc] != nullptr)
        abort();
    for (int i = 0; i < argc; ++i) {
        if (argv[i] < argbuf || argv[i] >= argbuf + sizeof argbuf)
            abort();
        if (!memchr(argv[i], '\0', static_cast<size_t>(argbuf + sizeof argbuf - argv[i])))
            abort();
    }
    if (rest && (rest < line || rest > line + line_len))
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool quiet = freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    std::vector<char> buf(data, data + size);
    buf.push_back('\0');
    buf.push_back('\0');
    char *line = buf.data();
    const size_t line_len = strlen(line);
    int argc = -1;
    char *rest = nullptr;
    char **argv = nmakeargv(line, &argc, &rest);
    check(argv, argc, line, line_len, rest);
    if (line_len + 1 < size) { // a continuation follows the line's NUL
        int more = argc;
        char **joined = nullptr;
        const int grew = another(line, &more, &joined, "fuzz");
        check(joined, more, line, strlen(line), nullptr);
        if (grew != 0 && grew != 1)
            abort();
    }
    return 0;
}
