// commands.cpp -- the console commands of the integrated build: dblist, dbclose, dbsave, dbopen, dbdump.
//
// The console is reached only through the callback pair handed to
// db_register_cmds, so the library has no link dependency on it.
#include <cstdio>
#include <ctime>

#include "internal.h"

namespace {

// The console's print function, writing to the user whose command runs.
int (*db_printf)(char *fmt, ...);

template <class... Args>
void print(const char *fmt, Args... args) {
    if (db_printf)
        db_printf(const_cast<char *>(fmt), args...);
}

char data_path_here[] = ".";

// The database named by a command's word, or null after saying there is none.
DataBase *find_named(char *name) {
    DataBase *db = db_find_dbase(name);
    if (!db)
        print("No database found by that name\n");
    return db;
}

int db_cmd_dblist(int argc, char **) {
    if (argc != 1)
        return -1;
    print("Databases currently in memory:\n");
    for (const DataBaseList *entry = _db_list; entry; entry = entry->next) {
        const time_t created = entry->db->time_created;
        print("  %-15s  %-20s  %s", entry->name, entry->db->dbname->name, ctime(&created));
    }
    return 0;
}

int db_cmd_dbclose(int argc, char **argv) {
    if (argc != 2)
        return -1;
    DataBase *db = find_named(argv[1]);
    if (!db)
        return 0;
    db_close(db);
    print("Database \"%s\" has been closed\n", argv[1]);
    return 0;
}

// The directory becomes the data path first, and stays so whatever follows.
int db_cmd_dbsave(int argc, char **argv) {
    if (argc != 3)
        return -1;
    db_set_data_path(argv[2]);
    DataBase *db = find_named(argv[1]);
    if (!db)
        return 0;
    if (db_save(db) == 1)
        print("Database \"%s\" saved as %s/%s.db\n", argv[1], argv[2], db->table_name);
    else
        print("Unable to save database\n");
    return 0;
}

// Relative names are taken from the working directory, which becomes the
// data path for good.
int db_cmd_dbopen(int argc, char **argv) {
    if (argc != 2)
        return -1;
    db_set_data_path(data_path_here);
    if (db_open(argv[1], 0))
        print("Database \"%s\" opened\n", argv[1]);
    else
        print("Unable to open database\n");
    return 0;
}

struct Command {
    const char *name, *usage, *desc;
    int (*handler)(int, char **);
};

const Command commands[] = {
    {"dblist", nullptr, "List databases in memory", db_cmd_dblist},
    {"dbclose", "<db name>", "Close Database", db_cmd_dbclose},
    {"dbsave", "<db name> <dir to save in>", "Save Database to disk", db_cmd_dbsave},
    {"dbopen", "</path/filename>", "Open Database from disk", db_cmd_dbopen},
    {"dbdump", "<db name>", "Dump database to screen", db_cmd_dbdump},
};

} // namespace

int db_cmd_dbdump(int argc, char **argv) {
    if (argc != 2)
        return -1;
    DataBase *db = find_named(argv[1]);
    if (!db)
        return 0;
    printf("Opened database \"%s\", version %ld, total %ld records\r\n", db->dbname->name,
           static_cast<long>(db->dbname->version), static_cast<long>(db->dbname->records));
    fflush(stdout);
    db_start(db);
    int number = 0;
    while (DataBaseInfo *dbi = db_next(db)) {
        print("--------------------- Record #%d ----------------------\n", ++number);
        db_dump(dbi, db_printf);
    }
    return 0;
}

void db_register_cmds(int (*add_cmd)(char *cmd, char *usage, char *desc,
                                     int (*handler)(int argc, char **argv), ulong_t flags),
                      int (*print_func)(char *fmt, ...)) {
    if (add_cmd)
        for (const Command &c : commands)
            add_cmd(const_cast<char *>(c.name), const_cast<char *>(c.usage),
                    const_cast<char *>(c.desc), c.handler, 0);
    db_printf = print_func;
}
