// data_file.h -- data files read and written through the database library, at any path.
//
// The library finds a data file by the data path and a table name and adds
// ".db" to names without it; the tool works on whatever path it is given.
// Reading therefore goes through a link in a scratch directory, and writing
// saves into a scratch directory beside the target and renames the result
// over it, so that a failed write leaves any existing file as it was.
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

// Saves db (byte-reversed when swapped) as the file at path, replacing it
// atomically. False with a reason in error.
bool store_data_file(DataBase *db, const std::string &path, bool swapped, std::string &error);

// The values of a record's parameters, in order; a parameter without a
// value gives an empty view.
std::vector<std::string_view> record_values(DataBaseInfo *dbi);

// The table name a data file at path stands for: its file name without a
// final ".db".
std::string table_name_for(const std::string &path);

} // namespace zndb_tool
