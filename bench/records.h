// records.h -- what the database benchmarks share: the clock, the records they move (four
// random values of 8-24 bytes each, the same in every benchmark for a given count), and the
// figures of helper processes.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <initializer_list>
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

// What `program` run with args prints on its standard output; ends this
// process with a message when it cannot be run or fails.
inline std::string output_of(const char *program, std::initializer_list<const char *> args) {
    int out[2];
    if (pipe(out) != 0)
        abort();
    std::vector<char *> argv{const_cast<char *>(program)};
    for (const char *a : args)
        argv.push_back(const_cast<char *>(a));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        execv(program, argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buf[256];
    ssize_t got;
    while ((got = read(out[0], buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(got));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "%s failed\n", program);
        exit(1);
    }
    return text;
}

} // namespace bench
