// data_dir.cpp -- zndemo's data directory: created when missing, used by its absolute path.
#include "data_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "report.h"

namespace zndemo {

namespace {

// mkdir -p: every missing directory along path; false with errno set.
bool make_directories(const std::string &path) {
    for (size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            return true;
    }
}

} // namespace

std::string prepare_data_dir(const std::string &dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) {
        if (errno != ENOENT || !make_directories(dir))
            refuse_start("cannot create the data directory %s: %s", dir.c_str(), strerror(errno));
        log_line("created the data directory %s", dir.c_str());
    } else if (!S_ISDIR(st.st_mode)) {
        refuse_start("%s is not a directory", dir.c_str());
    }
    char absolute[PATH_MAX];
    if (!realpath(dir.c_str(), absolute))
        refuse_start("cannot resolve the data directory %s: %s", dir.c_str(), strerror(errno));
    if (access(absolute, W_OK) != 0)
        refuse_start("cannot write to the data directory %s: %s", absolute, strerror(errno));
    return absolute;
}

} // namespace zndemo
