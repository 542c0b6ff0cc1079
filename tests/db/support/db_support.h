// db_support.h -- helpers of the database tests: temporary directories, files,
// captured diagnostics, and a data file encoder written apart from the library.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "command_capture.h"
#include "zndb.h"

namespace dbtest {

using zntest::capture_print;
using zntest::printed;

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/zndb-test-XXXXXX";
        path_ = mkdtemp(name) ? name : "";
    }
    ~TempDir() { remove_tree(path_); }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

    // Entries of the directory, without . and .. (sorted).
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        if (DIR *dir = opendir(path_.c_str())) {
            while (dirent *e = readdir(dir))
                if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                    names.push_back(e->d_name);
            closedir(dir);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    static void remove_tree(const std::string &path) {
        if (path.empty())
            return;
        chmod(path.c_str(), 0755);
        if (DIR *dir = opendir(path.c_str())) {
            while (dirent *e = readdir(dir)) {
                if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
                    continue;
                const std::string child = path + "/" + e->d_name;
                struct stat st;
                if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                    remove_tree(child);
                else
                    unlink(child.c_str());
            }
            closedir(dir);
        }
        rmdir(path.c_str());
    }

    std::string path_;
};

inline bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Everything from f's position on; f is closed.
inline std::string read_and_close(FILE *f) {
    std::string bytes;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        bytes.append(buf, n);
    fclose(f);
    return bytes;
}

inline std::string read_file(const std::string &path) {
    FILE *f = fopen(path.c_str(), "rb");
    return f ? read_and_close(f) : std::string();
}

inline void write_file(const std::string &path, const std::string &bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        abort();
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

// What body prints on standard output.
inline std::string stdout_of(const std::function<void()> &body) {
    fflush(stdout);
    FILE *sink = tmpfile();
    const int saved = dup(STDOUT_FILENO);
    dup2(fileno(sink), STDOUT_FILENO);
    body();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    rewind(sink);
    return read_and_close(sink);
}

// Data file bytes, built field by field as the format describes them.
class Encoder {
public:
    explicit Encoder(bool swap = false) : swap_(swap) {}

    Encoder &word(int32_t value) {
        auto u = static_cast<uint32_t>(value);
        unsigned char b[4] = {static_cast<unsigned char>(u), static_cast<unsigned char>(u >> 8),
                              static_cast<unsigned char>(u >> 16),
                              static_cast<unsigned char>(u >> 24)}; // little-endian host
        if (swap_)
            std::swap(b[0], b[3]), std::swap(b[1], b[2]);
        bytes_.append(reinterpret_cast<const char *>(b), 4);
        return *this;
    }

    Encoder &raw(const std::string &bytes) {
        bytes_ += bytes;
        return *this;
    }

    // 80 bytes of description (zero-filled), version, record count.
    Encoder &header(const std::string &desc, int32_t version, int32_t records) {
        std::string name = desc;
        name.resize(80, '\0');
        return raw(name).word(version).word(records);
    }

    // A record block of values; each value is written with its own length.
    Encoder &record(std::initializer_list<std::string> values) {
        word(static_cast<int32_t>(values.size()));
        for (const std::string &v : values)
            word(static_cast<int32_t>(v.size())).raw(v);
        return *this;
    }

    const std::string &bytes() const { return bytes_; }

private:
    bool swap_;
    std::string bytes_;
};

// The values of a record, in order.
inline std::vector<std::string> values_of(DataBaseInfo *dbi) {
    std::vector<std::string> values;
    for (DataBaseParam *p = dbi->p_first; p; p = p->next)
        values.emplace_back(p->p_len > 0 ? std::string(p->p, static_cast<size_t>(p->p_len)) : "");
    return values;
}

// A record of text values appended to db.
inline DataBaseInfo *add_record(DataBase *db, std::initializer_list<std::string> values) {
    DataBaseInfo *dbi = db_new(db);
    for (const std::string &v : values)
        db_param_new(dbi, static_cast<long>(v.size()), const_cast<char *>(v.data()));
    return dbi;
}

// The first parameter's text of every record, walking with the cursor.
inline std::string walk_first_params(DataBase *db, const char *separator = ",") {
    std::string out;
    db_start(db);
    while (DataBaseInfo *dbi = db_next(db))
        out += (out.empty() ? "" : separator) + std::string(db_param_string(dbi->p_first));
    return out;
}

inline char *str(const std::string &s) { return const_cast<char *>(s.c_str()); }

} // namespace dbtest
