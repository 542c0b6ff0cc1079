// file_replacement.cpp -- atomic file replacement: temporary file, fsync, rename, directory sync.
#include "file_replacement.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zndb {

namespace {

constexpr int max_link_hops = 40;
constexpr int max_temporary_names = 100;

// The directory part of path ("." when there is none).
void directory_of(const char *path, char (&dir)[PATH_MAX]) {
    const char *slash = strrchr(path, '/');
    if (!slash) {
        strcpy(dir, ".");
        return;
    }
    const size_t n = slash == path ? 1 : static_cast<size_t>(slash - path);
    memcpy(dir, path, n);
    dir[n] = '\0';
}

// Follows symbolic links from path to the file they lead to (which need not
// exist). False when the chain is too long or a name does not fit.
bool resolve_links(const char *path, char (&target)[PATH_MAX]) {
    if (strlen(path) >= sizeof target)
        return false;
    strcpy(target, path);
    for (int hop = 0; hop < max_link_hops; ++hop) {
        struct stat st;
        if (lstat(target, &st) != 0 || !S_ISLNK(st.st_mode))
            return true;
        char link[PATH_MAX];
        const ssize_t n = readlink(target, link, sizeof link - 1);
        if (n < 0)
            return false;
        link[n] = '\0';
        if (link[0] == '/') {
            strcpy(target, link);
            continue;
        }
        char dir[PATH_MAX];
        directory_of(target, dir);
        if (snprintf(target, sizeof target, "%s/%s", dir, link) >= static_cast<int>(sizeof target))
            return false;
    }
    return false;
}

void sync_directory(const char *path) {
    char dir[PATH_MAX];
    directory_of(path, dir);
    const int fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    fsync(fd); // some file systems cannot sync a directory; the rename stands
    close(fd);
}

} // namespace

FileReplacement::~FileReplacement() {
    if (fd_ >= 0)
        close(fd_);
    if (temporary_[0])
        unlink(temporary_);
}

bool FileReplacement::open(const char *path) {
    if (!resolve_links(path, target_))
        return false;
    struct stat st;
    if (stat(target_, &st) == 0) {
        old_exists_ = true;
        old_mode_ = st.st_mode & 07777;
        old_uid_ = st.st_uid;
        old_gid_ = st.st_gid;
    }
    if (open_temporary())
        return true;
    const bool directory_refused = errno == EACCES || errno == EPERM;
    return directory_refused && open_in_place();
}

// A new file "<target>.<pid>.<n>.saving", created exclusively.
bool FileReplacement::open_temporary() {
    for (int n = 0; n < max_temporary_names; ++n) {
        const int len = snprintf(temporary_, sizeof temporary_, "%s.%ld.%d.saving", target_,
                                 static_cast<long>(getpid()), n);
        if (len < 0 || len >= static_cast<int>(sizeof temporary_)) {
            errno = ENAMETOOLONG;
            break;
        }
        fd_ = ::open(temporary_, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ >= 0) {
            copy_owner_and_mode();
            return true;
        }
        if (errno != EEXIST)
            break;
    }
    const int saved = errno;
    temporary_[0] = '\0';
    errno = saved;
    return false;
}

bool FileReplacement::open_in_place() {
    fd_ = ::open(target_, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    in_place_ = fd_ >= 0;
    return in_place_;
}

void FileReplacement::copy_owner_and_mode() {
    if (!old_exists_)
        return;
    struct stat st;
    if (fstat(fd_, &st) == 0 && (st.st_uid != old_uid_ || st.st_gid != old_gid_)) {
        const int ignored = fchown(fd_, old_uid_, old_gid_); // allowed to root only
        (void)ignored;
    }
    fchmod(fd_, old_mode_);
}

FileReplacement::Result FileReplacement::commit() {
    const bool synced = fsync(fd_) == 0;
    const bool closed = close(fd_) == 0;
    fd_ = -1;
    if (!synced || !closed)
        return Result::cannot_write;
    if (!in_place_) {
        if (rename(temporary_, target_) != 0)
            return Result::cannot_place;
        temporary_[0] = '\0';
    }
    sync_directory(target_);
    return Result::done;
}

} // namespace zndb
