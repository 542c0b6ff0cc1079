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

std::string with_errno(const std::string &what) { return what + ": " + strerror(errno); }

// A directory made in $TMPDIR (or /tmp) for the duration of one load or
// store, holding one symbolic link under the name the library looks for,
// which leads to the file the tool was given; removed with the link.
class ScratchLink {
public:
    ScratchLink(const std::string &table, const std::string &target) {
        std::string pattern = temp_parent() + "/.zndb-XXXXXX";
        if (!mkdtemp(pattern.data()))
            return;
        path_ = pattern;
        link_ = path_ + "/" + table + ".db";
        if (symlink(target.c_str(), link_.c_str()) != 0)
            link_.clear();
    }
    ~ScratchLink() {
        if (!link_.empty())
            unlink(link_.c_str());
        if (!path_.empty())
            rmdir(path_.c_str());
    }
    ScratchLink(const ScratchLink &) = delete;
    ScratchLink &operator=(const ScratchLink &) = delete;

    // The link is in place and the library's data path leads to it; false
    // with a reason in error.
    bool use(std::string &error) const {
        if (link_.empty()) {
            error = with_errno("cannot make a scratch directory in " + temp_parent());
            return false;
        }
        if (db_set_data_path(const_cast<char *>(path_.c_str())))
            return true;
        error = "the path " + path_ + " is too long for the database library";
        return false;
    }

private:
    static std::string temp_parent() {
        const char *tmp = getenv("TMPDIR");
        return tmp && *tmp ? tmp : "/tmp";
    }

    std::string path_, link_;
};

// path as seen from anywhere (it need not exist yet).
std::string absolute_path(const std::string &path) {
    if (path.starts_with("/"))
        return path;
    char cwd[PATH_MAX];
    return getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + path : path;
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
    const ScratchLink scratch(scratch_table, absolute);
    if (!scratch.use(error))
        return nullptr;
    db_set_byte_swap(swapped ? 1 : 0);
    DataBase *db = db_open(scratch_table, 0);
    if (!db)
        error = "the database library cannot read " + path;
    return db;
}

// The library's save follows the link to path, so the file keeps what a
// save keeps there: its mode, owner, links and type.
bool store_data_file(DataBase *db, const std::string &path, bool swapped, std::string &error) {
    const ScratchLink scratch(db->table_name, absolute_path(path));
    if (!scratch.use(error))
        return false;
    db_set_byte_swap(swapped ? 1 : 0);
    if (db_save(db) != 1) {
        error = with_errno("cannot write " + path);
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
