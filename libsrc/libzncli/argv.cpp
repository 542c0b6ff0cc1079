// argv.cpp -- the argument splitter: nmakeargv, its word scanner slurpstring, and another.
//
// Words and vector live in fixed static storage reused by every split. A
// line whose words need more than the 200 bytes of argbuf or the 19 slots of
// the vector yields the words that fit; the dispatcher asks split_was_cut()
// and refuses such a line instead of running a cut command.
#include <cstdio>
#include <cstring>

#include "internal.h"

char *stringbase;
char *argbase;
char argbuf[200];
int slrflag;
char *altarg;

namespace {

constexpr int vector_slots = 20;
char *rargv[vector_slots];
bool words_cut;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Copies the characters of one word from *s to out (never past limit) by
// the quoting rules; returns whether a character was met. *overflow is set
// when the word did not fit.
bool scan_word(const char *&s, char *&out, char *limit, bool &overflow) {
    bool got_one = false, quoted = false;
    auto put = [&](char c) {
        if (out < limit)
            *out++ = c;
        else
            overflow = true;
        got_one = true;
    };
    for (;;) {
        const char c = *s;
        if (c == '\0')
            return got_one;
        if (quoted) {
            ++s;
            if (c == '"')
                quoted = false;
            else
                put(c);
            continue;
        }
        if (is_blank(c))
            return got_one;
        ++s;
        if (c == '"') {
            quoted = true;
        } else if (c == '\\') {
            if (*s == '\0')
                return got_one;
            put(*s++);
        } else {
            put(c);
        }
    }
}

} // namespace

char *slurpstring(void) {
    const char *s = stringbase;
    while (is_blank(*s))
        ++s;
    char *const word = argbase;
    char *out = argbase;
    bool got_one = false, overflow = false;
    if (*s != '\0') {
        if (slrflag == 0) {
            slrflag = 1;
        } else if (slrflag == 1) {
            slrflag = 2;
            altarg = const_cast<char *>(s);
        }
        // One byte stays free for the word's terminating NUL.
        got_one = scan_word(s, out, argbuf + sizeof argbuf - 1, overflow);
    }
    stringbase = const_cast<char *>(s);
    if (overflow) {
        words_cut = true;
        return nullptr;
    }
    if (got_one) {
        *out++ = '\0';
        argbase = out;
        return word;
    }
    if (slrflag == 0 || slrflag == 1) {
        altarg = nullptr;
        ++slrflag;
    }
    return nullptr;
}

char **nmakeargv(char *line, int *pargc, char **parg) {
    stringbase = line;
    argbase = argbuf;
    slrflag = 0;
    altarg = nullptr;
    words_cut = false;
    int argc = 0;
    while (char *word = slurpstring()) {
        if (argc == vector_slots - 1) {
            words_cut = true;
            break;
        }
        rargv[argc++] = word;
    }
    rargv[argc] = nullptr;
    if (pargc)
        *pargc = argc;
    if (parg)
        *parg = altarg;
    return rargv;
}

// The continuation is the text the caller stored right after line's NUL; a
// line that already fills the word storage cannot take more words.
int another(char *line, int *pargc, char ***pargv, const char *prompt) {
    const size_t len = strlen(line);
    if (len >= sizeof argbuf - 1)
        printf("sorry, arguments too long\n");
    printf("(%s) ", prompt ? prompt : "");
    fflush(stdout);
    line[len] = ' ';
    const size_t joined = strlen(line);
    if (line[joined - 1] == '\n')
        line[joined - 1] = '\0';
    int count = 0;
    char **vector = nmakeargv(line, &count, nullptr);
    const int grew = count > *pargc ? 1 : 0;
    *pargc = count;
    *pargv = vector;
    return grew;
}

namespace cli {

bool split_was_cut() { return words_cut; }

} // namespace cli
