// bench/db -- the database's sort, save and open against their baselines, in one run.
//
//   (a) db_sort_by_param over N records of one 12-character random key,
//       against std::stable_sort of the same keys as std::string;
//   (b) db_save of N records of four 8-24 byte values, against the durable
//       floor (write() of the same bytes, fsync, rename, directory sync) and
//       against SQLite with its default durable settings (prepared inserts in
//       one transaction);
//   (c) db_open of that file in a fresh process, against SQLite's SELECT *
//       over the same rows and against a plain read() of the file.
// Usage: bench_db [records]   (default 1,000,000)
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "records.h"
#include "zndb.h"

using bench::now;
using bench::random_text;
using bench::Rows;

namespace {

constexpr int repeats = 5;
const char *data_dir = "db-bench-data";
char table[] = "bench";
char desc[] = "benchmark";

// Best of `repeats` runs of body, which returns the seconds it measured.
double best_of(const std::function<double()> &body) {
    double best = 1e30;
    for (int i = 0; i < repeats; ++i)
        best = std::min(best, body());
    return best;
}

long status_kib(const char *field) {
    FILE *f = fopen("/proc/self/status", "r");
    char line[256];
    long kib = 0;
    while (f && fgets(line, sizeof line, f))
        if (strncmp(line, field, strlen(field)) == 0)
            kib = strtol(line + strlen(field), nullptr, 10);
    if (f)
        fclose(f);
    return kib;
}

// ---- (a) sort ----

void bench_sort(long n) {
    std::mt19937 random(1);
    std::vector<std::string> keys;
    keys.reserve(static_cast<size_t>(n));
    for (long i = 0; i < n; ++i)
        keys.push_back(random_text(random, 12));

    const double db_time = best_of([&] {
        DataBase *db = db_create(table, desc, 1);
        for (const std::string &key : keys)
            db_param_new(db_new(db), 12, const_cast<char *>(key.data()));
        const double start = now();
        db_sort_by_param(db, 1, 0, 0, 1, 0);
        const double took = now() - start;
        db_close(db);
        return took;
    });
    const double std_time = best_of([&] {
        std::vector<std::string> copy = keys;
        const double start = now();
        std::stable_sort(copy.begin(), copy.end());
        return now() - start;
    });
    printf("(a) sort %ld records by a 12-character key\n", n);
    printf("    db_sort_by_param       %8.3f s\n", db_time);
    printf("    std::stable_sort       %8.3f s\n", std_time);
    printf("    ratio db/std           %8.2f   (target <= 2.00)\n\n", db_time / std_time);
}

// ---- (b) save ----

void sync_dir(const char *dir) {
    const int fd = open(dir, O_RDONLY | O_DIRECTORY);
    fsync(fd);
    close(fd);
}

double durable_floor(const std::string &bytes) {
    const std::string tmp = std::string(data_dir) + "/floor.tmp";
    const std::string final_path = std::string(data_dir) + "/floor.db";
    const double start = now();
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            abort();
        done += static_cast<size_t>(n);
    }
    fsync(fd);
    close(fd);
    rename(tmp.c_str(), final_path.c_str());
    sync_dir(data_dir);
    return now() - start;
}

std::string sqlite_path() { return std::string(data_dir) + "/bench.sqlite"; }

void check(int rc, sqlite3 *db, const char *what) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
        fprintf(stderr, "sqlite %s: %s\n", what, sqlite3_errmsg(db));
        exit(1);
    }
}

double sqlite_insert(const Rows &rows) {
    unlink(sqlite_path().c_str());
    const double start = now();
    sqlite3 *db;
    check(sqlite3_open(sqlite_path().c_str(), &db), db, "open");
    check(sqlite3_exec(db, "CREATE TABLE t(a TEXT, b TEXT, c TEXT, d TEXT)", nullptr, nullptr,
                       nullptr), db, "create");
    check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
    sqlite3_stmt *insert;
    check(sqlite3_prepare_v2(db, "INSERT INTO t VALUES (?, ?, ?, ?)", -1, &insert, nullptr), db,
          "prepare");
    for (size_t i = 0; i < rows.values.size(); i += 4) {
        for (int j = 0; j < 4; ++j) {
            const std::string &v = rows.values[i + static_cast<size_t>(j)];
            sqlite3_bind_text(insert, j + 1, v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
        }
        check(sqlite3_step(insert), db, "insert");
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
    sqlite3_close(db);
    return now() - start;
}

// ---- (c) open, in fresh processes ----

// What a child measured: seconds, and the growth of its peak memory.
struct ChildFigures {
    double seconds;
    long peak_kib;
};

ChildFigures run_child(const char *self, const char *mode) {
    const std::string text = bench::output_of(self, {mode});
    ChildFigures figures{};
    if (sscanf(text.c_str(), "%lf %ld", &figures.seconds, &figures.peak_kib) != 2) {
        fprintf(stderr, "child %s failed\n", mode);
        exit(1);
    }
    return figures;
}

ChildFigures best_child(const char *self, const char *mode) {
    ChildFigures best{1e30, 0};
    for (int i = 0; i < repeats; ++i) {
        const ChildFigures f = run_child(self, mode);
        if (f.seconds < best.seconds)
            best = f;
    }
    return best;
}

int child_main(const char *mode) {
    const long base_kib = status_kib("VmRSS:");
    double took = 0;
    const double start = now();
    if (strcmp(mode, "--open") == 0) {
        db_set_data_path(const_cast<char *>(data_dir));
        if (!db_open(table, 0))
            return 1;
        took = now() - start;
    } else if (strcmp(mode, "--select") == 0) {
        sqlite3 *db;
        sqlite3_stmt *select;
        check(sqlite3_open(sqlite_path().c_str(), &db), db, "open");
        check(sqlite3_prepare_v2(db, "SELECT * FROM t", -1, &select, nullptr), db, "prepare");
        size_t bytes = 0;
        while (sqlite3_step(select) == SQLITE_ROW)
            for (int j = 0; j < 4; ++j) {
                sqlite3_column_text(select, j);
                bytes += static_cast<size_t>(sqlite3_column_bytes(select, j));
            }
        sqlite3_finalize(select);
        sqlite3_close(db);
        took = now() - start;
        if (bytes == 0)
            return 1;
    } else if (strcmp(mode, "--read") == 0) {
        const std::string path = std::string(data_dir) + "/bench.db";
        const int fd = open(path.c_str(), O_RDONLY);
        static char buffer[1 << 20];
        unsigned sum = 0;
        ssize_t n;
        while ((n = read(fd, buffer, sizeof buffer)) > 0)
            sum += static_cast<unsigned char>(buffer[n - 1]);
        close(fd);
        took = now() - start;
        if (sum == 1)
            puts("");
    } else {
        return 2;
    }
    printf("%.6f %ld\n", took, status_kib("VmHWM:") - base_kib);
    return 0;
}

double mb_per_s(double bytes, double seconds) { return bytes / seconds / 1e6; }

void bench_save_and_open(const char *self, long n) {
    const Rows rows = bench::make_rows(n);
    db_set_data_path(const_cast<char *>(data_dir));
    DataBase *db = bench::database_of(rows, table, desc);
    const std::string path = std::string(data_dir) + "/bench.db";
    auto save_once = [&] {
        const double start = now();
        if (db_save(db) != 1)
            abort();
        return now() - start;
    };
    save_once();
    std::string bytes;
    {
        FILE *f = fopen(path.c_str(), "rb");
        struct stat st;
        stat(path.c_str(), &st);
        bytes.resize(static_cast<size_t>(st.st_size));
        if (fread(bytes.data(), 1, bytes.size(), f) != bytes.size())
            abort();
        fclose(f);
    }
    // Alternating, so that both meet the same background writeback.
    double save = 1e30, floor = 1e30;
    for (int i = 0; i < repeats; ++i) {
        save = std::min(save, save_once());
        floor = std::min(floor, durable_floor(bytes));
    }
    db_close(db);
    const double size = static_cast<double>(bytes.size());
    const double sqlite = best_of([&] { return sqlite_insert(rows); });

    printf("(b) save %ld records of 4 values of 8-24 bytes (%.1f MB)\n", n, size / 1e6);
    printf("    db_save                %8.3f s  %8.1f MB/s\n", save, mb_per_s(size, save));
    printf("    durable floor          %8.3f s  %8.1f MB/s\n", floor, mb_per_s(size, floor));
    printf("    SQLite inserts         %8.3f s\n", sqlite);
    printf("    throughput db/floor    %8.2f   (target >= 0.50)\n", floor / save);
    printf("    SQLite/db time         %8.2f   (target >= 5.00)\n\n", sqlite / save);

    const ChildFigures open_f = best_child(self, "--open");
    const ChildFigures select_f = best_child(self, "--select");
    const ChildFigures read_f = best_child(self, "--read");
    printf("(c) open %ld records in a fresh process (file in the page cache)\n", n);
    printf("    db_open                %8.3f s  %8.1f MB/s  peak %6.1f bytes/record\n",
           open_f.seconds, mb_per_s(size, open_f.seconds), open_f.peak_kib * 1024.0 / n);
    printf("    SQLite SELECT *        %8.3f s  %8.1f MB/s  peak %6.1f bytes/record\n",
           select_f.seconds, mb_per_s(size, select_f.seconds), select_f.peak_kib * 1024.0 / n);
    printf("    read() of the file     %8.3f s  %8.1f MB/s\n", read_f.seconds,
           mb_per_s(size, read_f.seconds));
    printf("    SQLite/db time         %8.2f   (target >= 1.00)\n",
           select_f.seconds / open_f.seconds);
    printf("    read()/db time         %8.2f   (the physical floor)\n",
           read_f.seconds / open_f.seconds);
}

} // namespace

int main(int argc, char **argv) {
    db_set_verbose(1);
    if (argc > 1 && argv[1][0] == '-')
        return child_main(argv[1]);
    const long n = argc > 1 ? strtol(argv[1], nullptr, 10) : 1000000;
    mkdir(data_dir, 0755);
    bench_sort(n);
    bench_save_and_open("/proc/self/exe", n);
    return 0;
}
