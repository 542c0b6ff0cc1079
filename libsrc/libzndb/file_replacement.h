// file_replacement.h -- writing a data file: replaced through a temporary file where that is safe, else in place.
#pragma once

#include <climits>

namespace zndb {

// How db_save reaches its data file. The target is the file the path leads
// to after its symbolic links.
//
// The target is replaced atomically -- the new content goes to a temporary
// file "<target>.<pid>.<n>.saving" beside it, which is synced and renamed
// over it -- only where the replacement keeps all that a save in place
// keeps: the target does not exist yet, or it is a regular file with a
// single link that this process can open for writing, and the new file can
// be given its owner, group and mode. Anything else (a FIFO or device, a
// file with several links, an owner that cannot be kept, a directory that
// refuses the temporary file) is saved in place, as the plain save does:
// the target is truncated, then written. So is a target whose directory
// refuses the rename (sticky bit, EXDEV, EBUSY): the finished temporary
// file is then copied into it. A failure in place cannot leave the old
// content: it was truncated before the writing began.
//
// Temporary files of savers that no longer exist (a kill -9 during a save)
// are removed when the next save of the same target opens it; those of live
// processes are left alone. Until commit() succeeds, the destructor removes
// this save's temporary file.
class FileReplacement {
public:
    FileReplacement() = default;
    FileReplacement(const FileReplacement &) = delete;
    FileReplacement &operator=(const FileReplacement &) = delete;
    ~FileReplacement();

    // Opens the file to write to. False, with the target untouched, when the
    // target cannot be opened for writing (tried without truncating, and
    // without waiting for the reader of a FIFO) or cannot be created.
    bool open(const char *path);

    // Where the content goes: the temporary file, or the target in place.
    int fd() const { return in_place_ ? target_fd_ : temporary_fd_; }

    // Syncs the new content and puts it in place; false when a sync, a close,
    // the rename or the copy after a refused rename failed.
    bool commit();

private:
    bool open_temporary(bool replacing);
    bool keeps_owner_and_mode();
    bool open_in_place();
    bool copy_temporary_in_place();

    char target_[PATH_MAX] = {};
    char temporary_[PATH_MAX] = {}; // empty when there is none to remove
    int temporary_fd_ = -1;
    int target_fd_ = -1;            // opened for writing without truncating
    bool must_truncate_ = false;    // the target is a regular file that has content
    bool in_place_ = false;
    unsigned old_mode_ = 0, old_uid_ = 0, old_gid_ = 0;
};

} // namespace zndb
