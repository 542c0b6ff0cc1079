// sample_db.cpp -- zndemo's sample database: opened from its data file, created only when missing, saved at shutdown.
#include "sample_db.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "escape.h"
#include "layout.h"
#include "report.h"
#include "zncli.h"
#include "zndb.h"
#include "znsched.h"

namespace zndemo {

namespace {

char table_name[] = "sample";
char description[] = "zndemo notes";
constexpr long sample_version = 1;

// The data directory the clean-up task saves into.
std::string shutdown_dir;
char save_task_name[] = "Save sample database";

// A note: when it was taken and its text.
DataBaseInfo *add_note(DataBase *db, const std::string &text) {
    char stamp[32];
    const time_t now = time(nullptr);
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", localtime(&now));
    DataBaseInfo *dbi = db_new(db);
    if (!dbi)
        return nullptr;
    if (!db_param_new(dbi, static_cast<long>(strlen(stamp)), stamp) ||
        !db_param_new(dbi, static_cast<long>(text.size()), const_cast<char *>(text.data()))) {
        db_remove(db, dbi);
        return nullptr;
    }
    return dbi;
}

// A new data file with two welcome notes; refuses the start when it cannot
// be written.
void create_sample_file(const std::string &path) {
    DataBase *db = db_create(table_name, description, sample_version);
    if (!db || !add_note(db, "Welcome to zndemo. Type help for the commands.") ||
        !add_note(db, "dbdump sample shows this database; note <text> adds to it."))
        refuse_start("out of memory while creating the sample database");
    const int saved = db_save(db);
    db_close(db);
    if (saved != 1)
        refuse_start("cannot create %s: %s", path.c_str(), strerror(errno));
    log_line("created %s", path.c_str());
}

// Refuses the start unless the existing file at path is a sound data file
// that nobody holds locked.
void check_existing_file(const std::string &path, const struct stat &st) {
    if (!S_ISREG(st.st_mode))
        refuse_start("%s is not a regular file; zndemo leaves it alone", path.c_str());
    const std::string lock = path + ".locked";
    if (access(lock.c_str(), F_OK) == 0)
        refuse_start("%s is locked: %s exists. Another zndemo may be using it; if none is, "
                     "remove the lock file and start again",
                     path.c_str(), lock.c_str());
    std::string bytes, why;
    if (!zn_datafile::read_whole_file(path, bytes, why))
        refuse_start("cannot read %s: %s", path.c_str(), why.c_str());
    const zn_datafile::Layout layout = zn_datafile::scan_layout(bytes, false);
    if (layout.problem)
        refuse_start("%s is damaged at byte offset %llu: %s. zndemo leaves it untouched; move it "
                     "away to start with a new sample database (zndb verify shows the details)",
                     path.c_str(), static_cast<unsigned long long>(layout.problem->offset),
                     layout.problem->what.c_str());
}

void save_task(void *) {
    DataBase *db = sample_database();
    if (!db) {
        log_line("the sample database was closed; nothing to save");
        return;
    }
    db_set_data_path(const_cast<char *>(shutdown_dir.c_str()));
    if (db_save(db) == 1)
        log_line("saved %s/%s.db (%ld records)", shutdown_dir.c_str(), table_name, db_records(db));
    else
        log_line("could not save %s/%s.db: %s", shutdown_dir.c_str(), table_name, strerror(errno));
    db_close(db);
}

} // namespace

void open_sample_database(const std::string &data_dir) {
    if (!db_set_data_path(const_cast<char *>(data_dir.c_str())))
        refuse_start("the data directory's path is longer than 255 characters: %s", data_dir.c_str());
    const std::string path = data_dir + "/" + table_name + ".db";
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT)
            refuse_start("cannot examine %s: %s", path.c_str(), strerror(errno));
        create_sample_file(path);
    } else {
        check_existing_file(path, st);
    }
    db_set_verbose(0); // the failure is reported below, on standard error
    DataBase *db = db_open(table_name, DB_LOCK);
    db_set_verbose(1);
    if (!db)
        refuse_start("cannot open %s", path.c_str());
    // The description comes from the file: escaped, it cannot end the log
    // line or drive the terminal.
    log_line("opened %s: \"%s\", version %ld, %ld records", path.c_str(),
             zn_apps::escape_bytes(db_name(db)).c_str(), db_version(db), db_records(db));
}

void save_sample_database_at_shutdown(const std::string &data_dir) {
    shutdown_dir = data_dir;
    sched_cleanup(save_task_name, save_task, nullptr);
}

DataBase *sample_database() { return db_find_dbase(table_name); }

int cmd_note(int argc, char **argv) {
    if (argc < 2)
        return -1;
    DataBase *db = sample_database();
    if (!db) {
        cli_printf(const_cast<char *>("The sample database is not open\n"));
        return 0;
    }
    std::string text = argv[1];
    for (int i = 2; i < argc; ++i)
        text += std::string(" ") + argv[i];
    if (add_note(db, text))
        cli_printf(const_cast<char *>("Note %ld added to \"%s\"\n"), db_records(db), table_name);
    else
        cli_printf(const_cast<char *>("Out of memory; the note was not added\n"));
    return 0;
}

} // namespace zndemo
