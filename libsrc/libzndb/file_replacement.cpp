// file_replacement.cpp -- the data file written through a temporary file and a rename where that is safe, else in place.
#include "file_replacement.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "internal.h"

namespace zndb {

namespace {

constexpr int max_link_hops = 40;
constexpr int max_temporary_names = 100;
constexpr std::string_view temporary_suffix = ".saving";
constexpr size_t copy_step = 1u << 30;

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

// Takes ".<digits>" from the front of rest; false when it is not there.
bool take_number(std::string_view &rest, unsigned long &n) {
    if (rest.size() < 2 || rest[0] != '.')
        return false;
    const char *end = rest.data() + rest.size();
    const auto [stop, error] = std::from_chars(rest.data() + 1, end, n);
    if (error != std::errc() || stop == rest.data() + 1)
        return false;
    rest.remove_prefix(static_cast<size_t>(stop - rest.data()));
    return true;
}

// True for "<base>.<pid>.<n>.saving" when process pid no longer exists. A
// process that exists but belongs to another user counts as alive.
bool is_stale_temporary(std::string_view name, std::string_view base) {
    if (name.size() <= base.size() + temporary_suffix.size() || !name.starts_with(base) ||
        !name.ends_with(temporary_suffix))
        return false;
    std::string_view middle = name.substr(base.size(), name.size() - base.size() - temporary_suffix.size());
    unsigned long pid = 0, number = 0;
    if (!take_number(middle, pid) || !take_number(middle, number) || !middle.empty() || pid == 0 ||
        pid > static_cast<unsigned long>(INT_MAX))
        return false;
    return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// Removes the temporary files that savers of target left when they were
// killed. A saver in another PID namespace sharing the directory would look
// gone; its rename then fails and its save reports the failure.
void remove_stale_temporaries(const char *target) {
    char dir[PATH_MAX];
    directory_of(target, dir);
    const char *slash = strrchr(target, '/');
    const std::string_view base = slash ? slash + 1 : target;
    DIR *listing = opendir(dir);
    if (!listing)
        return;
    while (const dirent *entry = readdir(listing))
        if (is_stale_temporary(entry->d_name, base))
            unlinkat(dirfd(listing), entry->d_name, 0);
    closedir(listing);
}

// Syncs and closes fd; a FIFO or device that cannot be synced is no failure.
bool sync_and_close(int &fd) {
    const bool synced = fsync(fd) == 0 || errno == EINVAL;
    const bool closed = close(fd) == 0;
    fd = -1;
    return synced && closed;
}

bool refused_by_directory(int error) {
    return error == EXDEV || error == EBUSY || error == EPERM || error == EACCES;
}

} // namespace

FileReplacement::~FileReplacement() {
    if (temporary_fd_ >= 0)
        close(temporary_fd_);
    if (target_fd_ >= 0)
        close(target_fd_);
    if (temporary_[0])
        unlink(temporary_);
}

bool FileReplacement::open(const char *path) {
    if (!resolve_links(path, target_))
        return false;
    remove_stale_temporaries(target_);
    target_fd_ = open_without_waiting(target_, O_WRONLY);
    if (target_fd_ < 0)
        return errno == ENOENT && (open_temporary(false) || open_in_place());
    struct stat st;
    if (fstat(target_fd_, &st) != 0)
        return false;
    must_truncate_ = S_ISREG(st.st_mode);
    if (must_truncate_ && st.st_nlink == 1) {
        old_mode_ = st.st_mode & 07777;
        old_uid_ = st.st_uid;
        old_gid_ = st.st_gid;
        if (open_temporary(true))
            return true;
    }
    return open_in_place();
}

// A new file "<target>.<pid>.<n>.saving", created exclusively. When it
// replaces an existing target it is made private first and then given the
// target's owner, group and mode; a new target gets the mode of any new file.
bool FileReplacement::open_temporary(bool replacing) {
    for (int n = 0; n < max_temporary_names; ++n) {
        const int len = snprintf(temporary_, sizeof temporary_, "%s.%ld.%d%s", target_,
                                 static_cast<long>(getpid()), n, temporary_suffix.data());
        if (len < 0 || len >= static_cast<int>(sizeof temporary_))
            break;
        temporary_fd_ = ::open(temporary_, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, replacing ? 0600 : 0666);
        if (temporary_fd_ >= 0) {
            if (!replacing || keeps_owner_and_mode())
                return true;
            close(temporary_fd_);
            temporary_fd_ = -1;
            unlink(temporary_);
            break;
        }
        if (errno != EEXIST)
            break;
    }
    temporary_[0] = '\0';
    return false;
}

// Gives the temporary file the target's owner, group and mode. False when
// one of them does not hold afterwards: a process that is not root cannot
// give a file away, nor to a group it is not in (and loses the set-group-ID
// bit then).
bool FileReplacement::keeps_owner_and_mode() {
    struct stat st;
    if (fstat(temporary_fd_, &st) != 0)
        return false;
    if ((st.st_uid != old_uid_ || st.st_gid != old_gid_) && fchown(temporary_fd_, old_uid_, old_gid_) != 0)
        return false;
    if (fchmod(temporary_fd_, old_mode_) != 0 || fstat(temporary_fd_, &st) != 0)
        return false;
    return st.st_uid == old_uid_ && st.st_gid == old_gid_ && (st.st_mode & 07777) == old_mode_;
}

// The target itself: truncated when it is a regular file (a FIFO or device
// takes the content as it comes), created when it does not exist.
bool FileReplacement::open_in_place() {
    if (target_fd_ < 0) {
        target_fd_ = open_without_waiting(target_, O_WRONLY | O_CREAT | O_TRUNC, 0666);
        must_truncate_ = false;
    }
    if (target_fd_ < 0 || (must_truncate_ && ftruncate(target_fd_, 0) != 0))
        return false;
    in_place_ = true;
    return true;
}

// After the directory refused the rename: the target truncated and the
// finished temporary file copied into it.
bool FileReplacement::copy_temporary_in_place() {
    if (!open_in_place())
        return false;
    off_t offset = 0;
    for (;;) {
        const ssize_t n = sendfile(target_fd_, temporary_fd_, &offset, copy_step);
        if (n == 0)
            return true; // the end of the temporary file
        if (n < 0 && errno != EINTR)
            return false;
    }
}

bool FileReplacement::commit() {
    if (in_place_)
        return sync_and_close(target_fd_);
    if (fsync(temporary_fd_) != 0)
        return false;
    if (rename(temporary_, target_) != 0) {
        const bool copied = refused_by_directory(errno) && copy_temporary_in_place();
        return copied && sync_and_close(target_fd_);
    }
    temporary_[0] = '\0';
    sync_directory(target_);
    return true;
}

} // namespace zndb
