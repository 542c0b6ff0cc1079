// file_replacement.h -- replacing a file so that it holds either the old or the whole new content.
#pragma once

#include <climits>

namespace zndb {

// The new content goes to a temporary file beside the target (the target of
// a symbolic link, when the path is one), which is synced and renamed over
// the target; then the directory is synced. The new file keeps the old one's
// permission bits and, where the process may set them, its owner. Where the
// directory refuses a temporary file but the target itself is writable, the
// target is written in place instead. Until commit() succeeds, the
// destructor removes the temporary file.
class FileReplacement {
public:
    enum class Result { done, cannot_write, cannot_place };

    FileReplacement() = default;
    FileReplacement(const FileReplacement &) = delete;
    FileReplacement &operator=(const FileReplacement &) = delete;
    ~FileReplacement();

    // Opens the file to write to; false when neither a temporary file nor
    // (where allowed) the target can be opened.
    bool open(const char *path);

    int fd() const { return fd_; }

    // Syncs and closes the new file and puts it in place: cannot_write for a
    // failed sync or close, cannot_place for a failed rename.
    Result commit();

private:
    bool open_temporary();
    bool open_in_place();
    void copy_owner_and_mode();

    char target_[PATH_MAX] = {};
    char temporary_[PATH_MAX] = {};
    int fd_ = -1;
    bool in_place_ = false;
    bool old_exists_ = false;
    unsigned old_mode_ = 0, old_uid_ = 0, old_gid_ = 0;
};

} // namespace zndb
