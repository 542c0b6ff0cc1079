// paths.h -- the names of data files and lock files.
#pragma once

#include "zndb.h"

namespace zndb {

// A data file's path and its lock file's path, each at most 255 characters.
struct FilePaths {
    char data[256];
    char lock[256];
};

// The paths db_save writes: "<_db_data_path>/<table_name>.db". False when
// either path would not fit.
bool save_paths(const DataBase *db, FilePaths &paths);

// The paths db_open reads: an absolute name as given, any other under
// _db_data_path, with ".db" added unless the name contains ".db". False when
// either path would not fit.
bool open_paths(const char *dbname, FilePaths &paths);

} // namespace zndb
