// data_dir.h -- zndemo's data directory: created when missing, used by its absolute path.
#pragma once

#include <string>

namespace zndemo {

// Creates dir (and missing parents) when it does not exist and returns its
// absolute path; refuses the start when it cannot be created, is not a
// directory or cannot be written.
std::string prepare_data_dir(const std::string &dir);

} // namespace zndemo
