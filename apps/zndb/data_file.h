// data_file.h -- data files read and written through the database library, at any path.
//
// The library finds a data file by the data path and a table name and adds
// ".db" to names without it; the tool works on whatever path it is given.
// Reading and writing therefore go through a link in a scratch directory,
// which the library follows: a save replaces the file atomically where that
// keeps what the file was, and writes it in place otherwise (a FIFO, a
// device, a file with several links or an owner it cannot keep).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "zndb.h"

namespace zndb_tool {

// Opens the data file at path (integers byte-reversed when swapped) as a
// new database of the catalogue; null with a reason in error. Lock files
// are not looked at: reading never disturbs a daemon that holds the file.
DataBase *load_data_file(const std::string &path, bool swapped, std::string &error);

// Saves db (byte-reversed when swapped) as the file at path, as db_save
// saves a data file. False with a reason in error.
bool store_data_file(DataBase *db, const std::string &path, bool swapped, std::string &error);

// The values of a record's parameters, in order; a parameter without a
// value gives an empty view.
std::vector<std::string_view> record_values(DataBaseInfo *dbi);

// The table name a data file at path stands for: its file name without a
// final ".db".
std::string table_name_for(const std::string &path);

} // namespace zndb_tool
