// open.cpp -- db_open: a data file read into a new database, with lock files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal.h"
#include "locks.h"
#include "paths.h"
#include "record_block.h"

using namespace zndb;

namespace {

constexpr size_t max_read_buffer = 1024 * 1024;

// The source of the data file: reads in large pieces into a buffer that
// grows only as far as data has arrived, so a length word larger than the
// rest of the file never makes it allocate more than the file holds.
class FileReader {
public:
    explicit FileReader(int fd) : fd_(fd) {
        struct stat st;
        if (fstat(fd, &st) == 0 && st.st_size >= 0)
            initial_ = std::clamp<size_t>(static_cast<size_t>(st.st_size), 4096, max_read_buffer);
    }
    ~FileReader() { free(buffer_); }
    FileReader(const FileReader &) = delete;
    FileReader &operator=(const FileReader &) = delete;

    // Buffers up to n bytes; returns how many are buffered (fewer at the end
    // of the file, on a read error or when memory runs out).
    size_t fill(size_t n) {
        if (end_ - begin_ >= n)
            return n;
        if (begin_ > 0) {
            memmove(buffer_, buffer_ + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        }
        while (end_ < n && !ended_) {
            if (end_ == capacity_ && !grow(n))
                break;
            const ssize_t got = read(fd_, buffer_ + end_, capacity_ - end_);
            if (got > 0)
                end_ += static_cast<size_t>(got);
            else if (got == 0 || errno != EINTR)
                ended_ = true;
        }
        return std::min(n, end_);
    }

    // The next n bytes, valid until the next call; null when they are missing.
    const char *take(size_t n) {
        if (fill(n) < n)
            return nullptr;
        const char *bytes = buffer_ + begin_;
        begin_ += n;
        return bytes;
    }

    bool length(int32_t &n) { return word(n); }
    const char *value(int32_t n) { return take(static_cast<size_t>(n)); }

    bool word(int32_t &n) {
        const char *bytes = take(sizeof(uint32_t));
        if (!bytes)
            return false;
        uint32_t wire;
        memcpy(&wire, bytes, sizeof wire);
        n = from_wire(wire);
        return true;
    }

private:
    // Room for more data once the data so far fills the buffer (n is more
    // than the capacity): doubles, but never beyond n.
    bool grow(size_t n) {
        return resize_buffer(buffer_, capacity_, capacity_ ? std::min(capacity_ * 2, n) : initial_);
    }

    int fd_;
    char *buffer_ = nullptr;
    size_t capacity_ = 0, begin_ = 0, end_ = 0;
    size_t initial_ = 64 * 1024;
    bool ended_ = false;
};

// The header: missing bytes stay zero; a description without a terminator
// in its 80 bytes is terminated at byte 79.
void read_header(FileReader &in, DataBaseName *header) {
    if (const size_t got = in.fill(sizeof *header))
        memcpy(header, in.take(got), got);
    if (!memchr(header->name, '\0', sizeof header->name))
        header->name[sizeof header->name - 1] = '\0';
    header->version = from_wire(static_cast<uint32_t>(header->version));
    header->records = from_wire(static_cast<uint32_t>(header->records));
}

// Record blocks up to the end of the file; false (with a diagnostic) when
// one is cut short or cannot be stored.
bool read_records(FileReader &in, DataBase *db) {
    int32_t count;
    while (in.word(count)) {
        DataBaseInfo *dbi = append_received_record(db);
        if (!dbi)
            return false;
        switch (read_record_params(in, dbi, count)) {
        case BlockStatus::complete:
            break;
        case BlockStatus::no_length:
            say("[db_open] Error: (1) Unable to read in record\n");
            return false;
        case BlockStatus::no_value:
            say("[db_open] Error: (2) Unable to read in record\n");
            return false;
        case BlockStatus::no_memory:
            return false;
        }
    }
    return true;
}

// The data file opened for reading when it is a regular file; -1 for
// anything else. A FIFO would stop the whole process in open() or read(),
// and a device such as /dev/zero would be read until memory runs out.
int open_regular_file(const char *path) {
    const int fd = open_without_waiting(path, O_RDONLY);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        return -1;
    }
    return fd;
}

// The lock step of db_open: a look, or with DB_LOCK the taking of the lock.
// False (with a diagnostic) when a lock stands in the way.
bool pass_lock(const FilePaths &paths, long flags, bool &taken) {
    char content[64];
    snprintf(content, sizeof content, "Locked by PID %ld\r\n", static_cast<long>(getpid()));
    const LockState state = await_lock(paths.lock, flags & DB_BLOCK, (flags & DB_LOCK) ? content : nullptr);
    taken = state == LockState::taken;
    if (state == LockState::locked)
        say("[db_open] Error: %s is locked\n", paths.data);
    else if (state == LockState::expired)
        say("[db_open] Error: %s is locked, blocking expired\n", paths.data);
    return state == LockState::free || state == LockState::taken;
}

// Reads the open data file into a new catalogued database; null on failure,
// leaving the lock file, if one was taken, to the caller.
DataBase *read_database(int fd, char *dbname, long flags, const FilePaths &paths, bool lock_taken) {
    DataBase *db = make_database("db_open", dbname);
    if (!db)
        return nullptr;
    db->flags = static_cast<int32_t>(flags);
    copy_field(db->lock_file, sizeof db->lock_file, paths.lock);
    node_of(db)->holds_lock = lock_taken;
    FileReader in(fd);
    read_header(in, db->dbname);
    if (!register_database("db_open", db)) {
        free_database(db);
        return nullptr;
    }
    if (db->dbname->records != 0 && !read_records(in, db)) {
        node_of(db)->holds_lock = false; // the caller removes it
        db_close(db);
        return nullptr;
    }
    db_start(db);
    return db;
}

} // namespace

DataBase *db_open(char *dbname, long flags) {
    if (!dbname)
        return nullptr;
    FilePaths paths;
    if (!open_paths(dbname, paths)) {
        say("[db_open] Error: Path too long for %s\n", dbname);
        return nullptr;
    }
    bool lock_taken = false;
    if (!pass_lock(paths, flags, lock_taken))
        return nullptr;
    const int fd = open_regular_file(paths.data);
    if (fd < 0) {
        say("[db_open] Error: Could not open %s for read\n", paths.data);
    } else {
        DataBase *db = read_database(fd, dbname, flags, paths, lock_taken);
        close(fd);
        if (db)
            return db;
    }
    if (lock_taken)
        unlink(paths.lock);
    return nullptr;
}
