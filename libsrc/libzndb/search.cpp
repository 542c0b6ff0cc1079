// search.cpp -- finding records by the text of a parameter: exact find and substring search.
//
// Case mode 2 compares both sides through the lower-case table instead of
// lowered copies, so no comparison allocates.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal.h"

using namespace zndb;

namespace {

constexpr int ignore_case = 2;

bool equal_texts(std::string_view a, std::string_view b, bool fold_case, const CaseFold &fold) {
    if (!fold_case)
        return a == b;
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [&](char x, char y) { return fold(x) == fold(y); });
}

// Whether text contains needle; under fold_case the needle is lower-cased
// already (it is the search text) and only the text is folded.
bool contains(std::string_view text, std::string_view needle, bool fold_case,
              const CaseFold &fold) {
    if (!fold_case || needle.empty())
        return text.find(needle) != std::string_view::npos;
    auto same = [&](char x, char y) { return fold(x) == static_cast<unsigned char>(y); };
    return std::search(text.begin(), text.end(), needle.begin(), needle.end(), same) != text.end();
}

bool search_matches(DataBase *db, DataBaseInfo *dbi, const CaseFold &fold) {
    return contains(param_text(dbi, db->search_param), db->search_text,
                    db->search_case == ignore_case, fold);
}

} // namespace

DataBaseInfo *db_find(DataBase *db, int n, char *s, int c) {
    if (!db || !s)
        return nullptr;
    const CaseFold fold;
    for (DataBaseInfo *dbi = db->dbinfo; dbi; dbi = dbi->next)
        if (equal_texts(param_text(dbi, n), s, c == ignore_case, fold))
            return dbi;
    return nullptr;
}

int db_search_set(DataBase *db, char c, int n, char *s) {
    if (!db)
        return 0;
    free(db->search_text);
    db->search_text = nullptr;
    db->search_start = 0;
    db->search_cur = nullptr;
    db->search_param = n;
    db->search_case = c;
    db->search_text = strdup(s ? s : "");
    if (!db->search_text) {
        say("[db_search_set] Error: (1) Unable to allocate memory!\n");
        return 0;
    }
    if (c == ignore_case) {
        const CaseFold fold;
        for (char *p = db->search_text; *p; ++p)
            *p = static_cast<char>(fold(*p));
    }
    db->search_start = 1;
    db->search_cur = db->dbinfo;
    return 1;
}

DataBaseInfo *db_search_next(DataBase *db) {
    if (!db || !db->search_text)
        return nullptr;
    DataBaseInfo *candidate;
    if (db->search_start) {
        db->search_start = 0;
        candidate = db->search_cur;
    } else {
        candidate = db->search_cur ? db->search_cur->next : nullptr;
    }
    const CaseFold fold;
    for (; candidate; candidate = candidate->next)
        if (search_matches(db, candidate, fold))
            break;
    db->search_cur = candidate;
    return candidate;
}

int db_search_matches_left(DataBase *db) {
    if (!db || !db->search_text)
        return 0;
    const CaseFold fold;
    int count = 0;
    for (DataBaseInfo *dbi = db->search_cur; dbi; dbi = dbi->next) {
        DataBaseParam *dbp = db_param_recall(dbi, db->search_param);
        if (dbp && dbp->p_len != 0 && search_matches(db, dbi, fold))
            ++count;
    }
    return count;
}

char *db_get_low(char *s) {
    if (!s)
        return nullptr;
    const size_t n = strlen(s);
    auto *low = static_cast<char *>(malloc(n + 1));
    if (!low)
        malloc_failed();
    for (size_t i = 0; i < n; ++i)
        low[i] = static_cast<char>(tolower(static_cast<unsigned char>(s[i])));
    low[n] = '\0';
    return low;
}
