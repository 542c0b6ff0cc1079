// examine.h -- a data file examined byte by byte in both byte orders, and opened with warnings.
#pragma once

#include <string>

#include "layout.h"
#include "zndb.h"

namespace zndb_tool {

struct Examined {
    bool swapped = false;      // the byte order asked for
    std::string error;         // why the file could not be read; empty when it was
    zn_datafile::Layout layout; // in the byte order asked for
    bool other_order_sound = false; // the file has a problem, but none in the other order
};

Examined examine(const std::string &path, bool swapped);

// examine(), with a file that cannot be read reported on standard error;
// false then.
bool examine_reporting(const std::string &path, bool swapped, Examined &ex);

// "at byte offset N: what" for a problem.
std::string describe(const zn_datafile::Problem &problem);

// The hint for a file that reads sensibly only in the other byte order.
std::string other_order_hint(bool swapped);

// On standard error: the file's problem with what follows from it
// (consequence, appended to the line), and the byte-order hint when it
// applies.
void report_problem(const std::string &path, const Examined &ex, const char *consequence);

// Opens the file through the library for reading its records. A problem
// the library reads past is reported as a warning on standard error; a
// file it cannot read gives null, with the reason on standard error.
DataBase *open_for_reading(const std::string &path, bool swapped);

} // namespace zndb_tool
