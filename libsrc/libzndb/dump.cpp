// dump.cpp -- db_dump and db_dump_param: records shown to a person, in both builds.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "internal.h"

namespace {

constexpr size_t text_size = 2048;
constexpr int page_records = 15;

// The value as the dumps show it: its bytes followed by a NUL, cut to 2047
// bytes; empty without a value.
void value_text(const DataBaseParam *dbp, char (&text)[text_size]) {
    const size_t n = dbp->p_len > 0 && dbp->p
                         ? std::min(static_cast<size_t>(dbp->p_len), text_size - 1)
                         : 0;
    if (n > 0)
        memcpy(text, dbp->p, n);
    text[n] = '\0';
}

// Waits for a line on standard input before the next page; what is typed is
// not looked at (at most 4 characters are taken, the rest waits for the next
// pause).
void wait_for_return() {
    printf("-- Press Return for more --");
    fflush(stdout);
    char answer[5];
    if (!fgets(answer, sizeof answer, stdin))
        clearerr(stdin);
}

} // namespace

void db_dump(DataBaseInfo *dbi, int (*print_func)(char *fmt, ...)) {
    if (!dbi || !print_func)
        return;
    print_func(const_cast<char *>("Dumping Record, %ld paramaters\r\n"), static_cast<long>(dbi->num_params));
    long number = 0;
    for (const DataBaseParam *dbp = dbi->p_first; dbp; dbp = dbp->next) {
        char text[text_size];
        value_text(dbp, text);
        print_func(const_cast<char *>("Param %ld: %ld <%c%s%c>\r\n"), ++number,
                   static_cast<long>(dbp->p_len), 0x22, text, 0x22);
    }
}

void db_dump_param(DataBase *db, int param) {
    if (!db)
        return;
    printf("Dumping Database, All records -- paramater %d\r\n", param);
    long record = 0;
    int page = 0;
    for (DataBaseInfo *dbi = db->dbinfo; dbi; dbi = dbi->next) {
        if (++page == page_records) {
            page = 0;
            wait_for_return();
        }
        ++record;
        const DataBaseParam *dbp = db_param_recall(dbi, param);
        if (!dbp)
            continue;
        char text[text_size];
        value_text(dbp, text);
        printf("[Record #%ld] Param %d: %ld <%c%s%c>\r\n", record, param,
               static_cast<long>(dbp->p_len), 0x22, text, 0x22);
    }
}
