// paths.cpp -- building data file and lock file paths, refusing those that do not fit.
#include "paths.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace zndb {

namespace {

bool format_into(char (&out)[256], const char *fmt, ...) __attribute__((format(printf, 2, 3)));

bool format_into(char (&out)[256], const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int n = vsnprintf(out, sizeof out, fmt, ap);
    va_end(ap);
    return n >= 0 && static_cast<size_t>(n) < sizeof out;
}

bool add_lock_path(FilePaths &paths) { return format_into(paths.lock, "%s.locked", paths.data); }

} // namespace

bool save_paths(const DataBase *db, FilePaths &paths) {
    return format_into(paths.data, "%s/%s.db", _db_data_path, db->table_name) &&
           add_lock_path(paths);
}

bool open_paths(const char *dbname, FilePaths &paths) {
    const char *suffix = strstr(dbname, ".db") ? "" : ".db";
    const bool built = dbname[0] == '/'
                           ? format_into(paths.data, "%s%s", dbname, suffix)
                           : format_into(paths.data, "%s/%s%s", _db_data_path, dbname, suffix);
    return built && add_lock_path(paths);
}

} // namespace zndb
