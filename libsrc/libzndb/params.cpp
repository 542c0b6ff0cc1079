// params.cpp -- parameters of a record: append, update, remove, the cursor, values.
#include <cstdint>
#include <cstring>

#include "internal.h"
#include "lists.h"
#include "slab.h"

namespace zndb {

namespace {

// A new block holding the p_len bytes at p and a NUL; null when out of memory.
char *copy_value(int32_t p_len, const void *p) {
    auto *value = static_cast<char *>(block_alloc(static_cast<size_t>(p_len) + 1));
    if (value) {
        memcpy(value, p, static_cast<size_t>(p_len));
        value[p_len] = '\0';
    }
    return value;
}

void free_value(DataBaseParam *dbp) {
    if (dbp->p_len > 0)
        block_free(dbp->p, static_cast<size_t>(dbp->p_len) + 1);
    dbp->p = nullptr;
}

char empty_text[] = "";

} // namespace

bool length_fits(long p_len) { return p_len >= INT32_MIN && p_len <= INT32_MAX; }

void free_param(DataBaseParam *dbp) {
    free_value(dbp);
    block_free(dbp, sizeof *dbp);
}

} // namespace zndb

using namespace zndb;

long db_num_params(DataBaseInfo *dbi) { return dbi ? dbi->num_params : -1; }

DataBaseParam *db_param_new(DataBaseInfo *dbi, long p_len, void *p) {
    if (!dbi)
        return nullptr;
    auto *dbp = static_cast<DataBaseParam *>(block_alloc(sizeof(DataBaseParam)));
    if (!dbp) {
        say("[db_param_new] Error: (1) Unable to allocate memory!\n");
        return nullptr;
    }
    memset(dbp, 0, sizeof *dbp);
    if (!length_fits(p_len)) {
        say("[db_param_new] Error: (2) Unable to allocate memory!\n");
        block_free(dbp, sizeof *dbp);
        return nullptr;
    }
    dbp->p_len = static_cast<int32_t>(p_len);
    if (p_len > 0 && !(dbp->p = copy_value(dbp->p_len, p))) {
        say("[db_param_new] Error: (2) Unable to allocate memory!\n");
        block_free(dbp, sizeof *dbp);
        return nullptr;
    }
    params_of(dbi).append(dbp);
    count_up(dbi->num_params);
    return dbp;
}

int db_param_update(DataBaseParam *dbp, long p_len, void *p) {
    if (!dbp)
        return 0;
    if (!length_fits(p_len)) {
        say("[db_param_update] Error: (1) Unable to allocate memory!\n");
        return 0;
    }
    const auto len = static_cast<int32_t>(p_len);
    if (len > 0 && len == dbp->p_len) {
        memmove(dbp->p, p, static_cast<size_t>(len));
        return 1;
    }
    char *value = nullptr;
    if (len > 0 && !(value = copy_value(len, p))) {
        say("[db_param_update] Error: (1) Unable to allocate memory!\n");
        return 0;
    }
    free_value(dbp);
    dbp->p = value;
    dbp->p_len = len;
    return 1;
}

int db_param_remove(DataBaseInfo *dbi, DataBaseParam *dbp) {
    if (!dbi || !dbp)
        return 0;
    zn::list_unlink(dbi->p_first, dbi->p_last, dbp);
    free_param(dbp);
    count_down(dbi->num_params);
    return 1;
}

void db_param_start(DataBaseInfo *dbi) {
    if (dbi)
        params_of(dbi).place(dbi->p_first);
}

void db_param_end(DataBaseInfo *dbi) {
    if (dbi)
        params_of(dbi).place(dbi->p_last);
}

DataBaseParam *db_param_cur(DataBaseInfo *dbi) {
    return dbi ? params_of(dbi).current() : nullptr;
}

DataBaseParam *db_param_next(DataBaseInfo *dbi) {
    return dbi ? params_of(dbi).step(true) : nullptr;
}

DataBaseParam *db_param_prev(DataBaseInfo *dbi) {
    return dbi ? params_of(dbi).step(false) : nullptr;
}

char *db_param_string(DataBaseParam *dbp) {
    if (!dbp || dbp->p_len == 0 || !dbp->p)
        return _db_default_null_string;
    return dbp->p;
}

void *db_param_value(DataBaseParam *dbp) {
    if (!dbp || dbp->p_len == 0 || !dbp->p)
        return empty_text;
    return dbp->p;
}

long db_param_length(DataBaseParam *dbp) { return dbp ? dbp->p_len : -1; }

DataBaseParam *db_param_recall(DataBaseInfo *dbi, int n) {
    return dbi ? recall(dbi->p_first, n) : nullptr;
}

DataBaseParam *db_param_find(DataBaseInfo *dbi, char *s) {
    if (!dbi || !s)
        return nullptr;
    for (DataBaseParam *dbp = dbi->p_first; dbp; dbp = dbp->next)
        if (strcmp(db_param_string(dbp), s) == 0)
            return dbp;
    return nullptr;
}
