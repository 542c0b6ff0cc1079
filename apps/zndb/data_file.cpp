// data_file.cpp -- data files read and written through the database library, at any path.
#include "data_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace zndb_tool {

namespace {

char scratch_table[] = "data"; // the name files have inside the scratch directory

// A directory made under parent for the duration of one load or store;
// removed with the one file it may hold.
class ScratchDir {
public:
    explicit ScratchDir(const std::string &parent) {
        std::string pattern = parent + "/.zndb-XXXXXX";
        if (mkdtemp(pattern.data()))
            path_ = pattern;
    }
    ~ScratchDir() {
        if (path_.empty())
            return;
        unlink(file().c_str());
        rmdir(path_.c_str());
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    bool made() const { return !path_.empty(); }
    const std::string &path() const { return path_; }
    std::string file() const { return path_ + "/" + file_name_; }
    void name_file(const std::string &name) { file_name_ = name; }

private:
    std::string path_;
    std::string file_name_ = std::string(scratch_table) + ".db";
};

std::string temp_parent() {
    const char *tmp = getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

std::string directory_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string with_errno(const std::string &what) { return what + ": " + strerror(errno); }

// Makes dir the library's data path; false when it is too long for it.
bool use_data_path(const ScratchDir &dir, std::string &error) {
    if (db_set_data_path(const_cast<char *>(dir.path().c_str())))
        return true;
    error = "the path " + dir.path() + " is too long for the database library";
    return false;
}

} // namespace

DataBase *load_data_file(const std::string &path, bool swapped, std::string &error) {
    char absolute[PATH_MAX];
    struct stat st;
    if (!realpath(path.c_str(), absolute) || stat(absolute, &st) != 0) {
        error = with_errno("cannot open " + path);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        error = path + " is not a regular file";
        return nullptr;
    }
    const ScratchDir scratch(temp_parent());
    if (!scratch.made() || symlink(absolute, scratch.file().c_str()) != 0) {
        error = with_errno("cannot make a scratch directory in " + temp_parent());
        return nullptr;
    }
    if (!use_data_path(scratch, error))
        return nullptr;
    db_set_byte_swap(swapped ? 1 : 0);
    DataBase *db = db_open(scratch_table, 0);
    if (!db)
        error = "the database library cannot read " + path;
    return db;
}

bool store_data_file(DataBase *db, const std::string &path, bool swapped, std::string &error) {
    ScratchDir scratch(directory_of(path));
    if (!scratch.made()) {
        error = with_errno("cannot write into " + directory_of(path));
        return false;
    }
    scratch.name_file(std::string(db->table_name) + ".db");
    if (!use_data_path(scratch, error))
        return false;
    db_set_byte_swap(swapped ? 1 : 0);
    if (db_save(db) != 1) {
        error = with_errno("cannot write " + path);
        return false;
    }
    if (rename(scratch.file().c_str(), path.c_str()) != 0) {
        error = with_errno("cannot replace " + path);
        return false;
    }
    return true;
}

std::vector<std::string_view> record_values(DataBaseInfo *dbi) {
    std::vector<std::string_view> values;
    for (DataBaseParam *p = dbi->p_first; p; p = p->next)
        values.emplace_back(p->p_len > 0 ? std::string_view(p->p, static_cast<size_t>(p->p_len)) : "");
    return values;
}

std::string table_name_for(const std::string &path) {
    std::string name = path.substr(path.rfind('/') + 1);
    if (name.size() >= 3 && name.compare(name.size() - 3, 3, ".db") == 0)
        name.resize(name.size() - 3);
    return name;
}

} // namespace zndb_tool
