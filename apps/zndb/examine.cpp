// examine.cpp -- a data file examined byte by byte in both byte orders, and opened with warnings.
#include "examine.h"

#include <cstdio>

#include "data_file.h"

namespace zndb_tool {

Examined examine(const std::string &path, bool swapped) {
    Examined ex;
    ex.swapped = swapped;
    std::string bytes, why;
    if (!zn_datafile::read_whole_file(path, bytes, why)) {
        ex.error = "cannot read " + path + ": " + why;
        return ex;
    }
    ex.layout = zn_datafile::scan_layout(bytes, swapped);
    ex.other_order_sound = ex.layout.problem && !zn_datafile::scan_layout(bytes, !swapped).problem;
    return ex;
}

bool examine_reporting(const std::string &path, bool swapped, Examined &ex) {
    ex = examine(path, swapped);
    if (ex.error.empty())
        return true;
    fprintf(stderr, "zndb: %s\n", ex.error.c_str());
    return false;
}

std::string describe(const zn_datafile::Problem &problem) {
    return "at byte offset " + std::to_string(problem.offset) + ": " + problem.what;
}

std::string other_order_hint(bool swapped) {
    return swapped ? "it reads sensibly only without --swapped (it was written without byte swapping)"
                   : "it reads sensibly only with --swapped (it was written with byte swapping on)";
}

void report_problem(const std::string &path, const Examined &ex, const char *consequence) {
    fprintf(stderr, "zndb: %s: problem %s%s\n", path.c_str(), describe(*ex.layout.problem).c_str(), consequence);
    if (ex.other_order_sound)
        fprintf(stderr, "zndb: %s: %s\n", path.c_str(), other_order_hint(ex.swapped).c_str());
}

DataBase *open_for_reading(const std::string &path, bool swapped) {
    Examined ex;
    if (!examine_reporting(path, swapped, ex))
        return nullptr;
    if (ex.layout.problem)
        report_problem(path, ex, "");
    std::string error;
    DataBase *db = load_data_file(path, swapped, error);
    if (!db)
        fprintf(stderr, "zndb: %s\n", error.c_str());
    return db;
}

} // namespace zndb_tool
