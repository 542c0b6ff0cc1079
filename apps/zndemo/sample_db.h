// sample_db.h -- zndemo's sample database: opened from its data file, created only when missing, saved at shutdown.
#pragma once

#include <string>

#include "zndb.h"

namespace zndemo {

// Makes data_dir the database's data path and opens data_dir/sample.db
// with a lock file, first creating it with a few notes when it does not
// exist. A file that exists but is locked, unreadable or damaged is left
// untouched and the start is refused (status 1).
void open_sample_database(const std::string &data_dir);

// Registers the clean-up task that saves the sample database into data_dir
// at shutdown (the console's dbsave and dbopen move the data path, so it
// is set back first) and closes it, which releases its lock file.
void save_sample_database_at_shutdown(const std::string &data_dir);

// The sample database while it is open, else null.
DataBase *sample_database();

// The "note <text>" command: appends a note to the sample database.
int cmd_note(int argc, char **argv);

} // namespace zndemo
