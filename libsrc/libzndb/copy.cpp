// copy.cpp -- deep copies: a whole database under a new name, one record into a database.
#include <cstring>

#include "internal.h"

using namespace zndb;

namespace {

// Appends copies of src's parameters to dst, walking src's parameter cursor.
// A parameter that cannot be allocated is left out (db_param_new says so).
void copy_params(DataBaseInfo *src, DataBaseInfo *dst) {
    db_param_start(src);
    while (DataBaseParam *dbp = db_param_next(src))
        db_param_new(dst, db_param_length(dbp), db_param_value(dbp));
}

} // namespace

DataBase *db_copy(DataBase *odb, char *new_name) {
    if (!odb)
        return nullptr;
    DataBase *db = make_database("db_copy", new_name);
    if (!db)
        return nullptr;
    *db->dbname = *odb->dbname; // description, version and record count
    db_start(odb);
    while (DataBaseInfo *src = db_next(odb)) {
        DataBaseInfo *dst = db_new(db);
        if (!dst)
            continue;
        count_down(db->dbname->records); // the copied header counts it already
        copy_params(src, dst);
    }
    if (!register_database("db_create", db)) {
        free_database(db);
        return nullptr;
    }
    return db;
}

DataBaseInfo *db_copy_dbi(DataBaseInfo *dbi, DataBase *db) {
    DataBaseInfo *dst = db_new(db);
    if (!dst)
        return nullptr;
    if (dbi)
        copy_params(dbi, dst);
    return dst;
}
