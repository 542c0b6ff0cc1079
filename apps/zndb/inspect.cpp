// inspect.cpp -- a data file examined byte by byte in both byte orders, and opened with warnings.
#include "inspect.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "data_file.h"

namespace zndb_tool {

Examined examine(const std::string &path, bool swapped) {
    Examined ex;
    std::string bytes;
    if (!zn_datafile::read_whole_file(path, bytes)) {
        ex.error = "cannot read " + path + ": " + strerror(errno);
        return ex;
    }
    ex.layout = zn_datafile::scan_layout(bytes, swapped);
    ex.other_order_sound = ex.layout.problem && !zn_datafile::scan_layout(bytes, !swapped).problem;
    return ex;
}

std::string describe(const zn_datafile::Problem &problem) {
    return "at byte offset " + std::to_string(problem.offset) + ": " + problem.what;
}

std::string other_order_hint(bool swapped) {
    return swapped ? "it reads sensibly only without --swapped (it was written without byte swapping)"
                   : "it reads sensibly only with --swapped (it was written with byte swapping on)";
}

DataBase *open_for_reading(const std::string &path, bool swapped) {
    const Examined ex = examine(path, swapped);
    if (!ex.error.empty()) {
        fprintf(stderr, "zndb: %s\n", ex.error.c_str());
        return nullptr;
    }
    if (ex.layout.problem) {
        fprintf(stderr, "zndb: %s: problem %s\n", path.c_str(), describe(*ex.layout.problem).c_str());
        if (ex.other_order_sound)
            fprintf(stderr, "zndb: %s: %s\n", path.c_str(), other_order_hint(swapped).c_str());
    }
    std::string error;
    DataBase *db = load_data_file(path, swapped, error);
    if (!db)
        fprintf(stderr, "zndb: %s\n", error.c_str());
    return db;
}

} // namespace zndb_tool
