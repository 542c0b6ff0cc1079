// records.cpp -- records of a database: append, remove, the record cursor, recall.
#include <cstring>

#include "internal.h"
#include "lists.h"
#include "slab.h"

namespace zndb {

int32_t free_record(DataBaseInfo *dbi) {
    for (DataBaseParam *dbp = dbi->p_first; dbp;) {
        DataBaseParam *next = dbp->next;
        free_param(dbp);
        count_down(dbi->num_params);
        dbp = next;
    }
    const int32_t left = dbi->num_params;
    block_free(dbi, sizeof *dbi);
    return left;
}

DataBaseInfo *append_received_record(DataBase *db) {
    DataBaseInfo *dbi = db_new(db);
    if (dbi)
        count_down(db->dbname->records);
    return dbi;
}

} // namespace zndb

using namespace zndb;

DataBaseInfo *db_new(DataBase *db) {
    if (!db)
        return nullptr;
    auto *dbi = static_cast<DataBaseInfo *>(block_alloc(sizeof(DataBaseInfo)));
    if (!dbi) {
        say("[db_new] Error: (1) Unable to allocate memory!\n");
        return nullptr;
    }
    memset(dbi, 0, sizeof *dbi);
    records_of(db).append(dbi);
    count_up(db->dbname->records);
    return dbi;
}

int db_remove(DataBase *db, DataBaseInfo *dbi) {
    if (!db || !dbi)
        return 0;
    zn::list_unlink(db->dbinfo, db->dbinfo_end, dbi);
    if (free_record(dbi) != 0)
        say("[db_remove] Warning: (1) num_params is not 0!\n");
    count_down(db->dbname->records);
    return 1;
}

void db_start(DataBase *db) {
    if (db)
        records_of(db).place(db->dbinfo);
}

void db_end(DataBase *db) {
    if (db)
        records_of(db).place(db->dbinfo_end);
}

DataBaseInfo *db_cur(DataBase *db) { return db ? records_of(db).current() : nullptr; }

DataBaseInfo *db_next(DataBase *db) { return db ? records_of(db).step(true) : nullptr; }

DataBaseInfo *db_prev(DataBase *db) { return db ? records_of(db).step(false) : nullptr; }

DataBaseInfo *db_recall(DataBase *db, int n) { return db ? recall(db->dbinfo, n) : nullptr; }
