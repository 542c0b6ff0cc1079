// records.h -- what the database benchmarks share: the clock, and the records they move (four
// random values of 8-24 bytes each, the same in every benchmark for a given count).
#pragma once

#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "zndb.h"

namespace bench {

inline double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

inline std::string random_text(std::mt19937 &random, size_t length) {
    std::string text(length, ' ');
    for (char &c : text)
        c = static_cast<char>('a' + random() % 26);
    return text;
}

struct Rows {
    std::vector<std::string> values; // four per record
};

inline Rows make_rows(long n) {
    std::mt19937 random(2);
    Rows rows;
    rows.values.reserve(static_cast<size_t>(n) * 4);
    for (long i = 0; i < n * 4; ++i)
        rows.values.push_back(random_text(random, 8 + random() % 17));
    return rows;
}

inline DataBase *database_of(const Rows &rows, const char *table, const char *desc) {
    DataBase *db = db_create(const_cast<char *>(table), const_cast<char *>(desc), 1);
    for (size_t i = 0; i < rows.values.size(); i += 4) {
        DataBaseInfo *dbi = db_new(db);
        for (size_t j = i; j < i + 4; ++j)
            db_param_new(dbi, static_cast<long>(rows.values[j].size()),
                         const_cast<char *>(rows.values[j].data()));
    }
    return db;
}

} // namespace bench
