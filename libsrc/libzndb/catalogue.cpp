// catalogue.cpp -- the list of databases in memory: create, find, close, header fields.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "../common/dlist.h"
#include "internal.h"

DataBaseList *_db_list, *_db_list_end;

namespace zndb {

void copy_field(char *field, size_t size, const char *text) {
    memset(field, 0, size);
    if (text)
        strncpy(field, text, size - 1);
}

DataBase *make_database(const char *who, const char *table_name) {
    auto *node = new (std::nothrow) DatabaseNode{};
    if (!node) {
        say_now("[%s] Error: (1) Memory Allocation failed!\n", who);
        return nullptr;
    }
    DataBase *db = &node->db;
    db->time_created = static_cast<uint32_t>(time(nullptr));
    copy_field(db->table_name, sizeof db->table_name, table_name);
    db->dbname = new (std::nothrow) DataBaseName{};
    if (!db->dbname) {
        say_now("[%s] Error: (2) Memory Allocation failed!\n", who);
        delete node;
        return nullptr;
    }
    return db;
}

bool register_database(const char *who, DataBase *db, int point) {
    auto *entry = new (std::nothrow) DataBaseList{};
    if (!entry) {
        say_now("[%s] Error: (%d) Memory Allocation failed!\n", who, point);
        return false;
    }
    entry->name = db->table_name;
    entry->db = db;
    zn::list_append(_db_list, _db_list_end, entry);
    return true;
}

void free_database(DataBase *db) {
    for (DataBaseInfo *dbi = db->dbinfo; dbi;) {
        DataBaseInfo *next = dbi->next;
        free_record(dbi);
        dbi = next;
    }
    delete db->dbname;
    free(db->search_text);
    delete node_of(db);
}

} // namespace zndb

using namespace zndb;

DataBase *db_create(char *dbname, char *desc, long version) {
    DataBase *db = make_database("db_create", dbname);
    if (!db)
        return nullptr;
    copy_field(db->dbname->name, sizeof db->dbname->name, desc);
    db->dbname->version = static_cast<int32_t>(version);
    if (!register_database("db_create", db)) {
        free_database(db);
        return nullptr;
    }
    return db;
}

DataBase *db_find_dbase(char *dbname) {
    if (!dbname)
        return nullptr;
    for (DataBaseList *entry = _db_list; entry; entry = entry->next)
        if (strcmp(entry->db->table_name, dbname) == 0)
            return entry->db;
    return nullptr;
}

void db_close(DataBase *db) {
    if (!db)
        return;
    DataBaseList *entry = _db_list;
    while (entry && entry->db != db)
        entry = entry->next;
    if (!entry) {
        say("[db_close] ERROR: Could not find DB in master list\n");
        return;
    }
    zn::list_unlink(_db_list, _db_list_end, entry);
    delete entry;
    // Only a lock this database created is removed: a DB_LOCK open that could
    // not create its lock file must not take away somebody else's.
    char lock_file[sizeof db->lock_file];
    memcpy(lock_file, db->lock_file, sizeof lock_file);
    const bool remove_lock = (db->flags & DB_LOCK) && node_of(db)->holds_lock;
    free_database(db);
    if (remove_lock)
        unlink(lock_file);
}

void db_close_all(void) {
    while (_db_list)
        db_close(_db_list->db);
}

char *db_name(DataBase *db) { return db ? db->dbname->name : nullptr; }

long db_version(DataBase *db) { return db ? db->dbname->version : -1; }

long db_records(DataBase *db) { return db ? db->dbname->records : -1; }
