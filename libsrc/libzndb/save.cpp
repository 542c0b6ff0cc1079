// save.cpp -- db_save: a database written to its data file, honouring and taking lock files.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "../common/signal_hold.h"
#include "file_replacement.h"
#include "internal.h"
#include "locks.h"
#include "paths.h"
#include "record_block.h"

using namespace zndb;

namespace {

constexpr size_t write_buffer_size = 256 * 1024;
constexpr size_t writeback_step = 8 * 1024 * 1024;

// The sink of the data file: words and value bytes gathered into a buffer
// and written in large pieces. The first failed write ends all writing.
class FileWriter {
public:
    explicit FileWriter(int fd) : fd_(fd), buffer_(new (std::nothrow) char[write_buffer_size]) {
        failed_ = !buffer_;
    }

    bool count(int32_t n) { return word(n); }
    bool length(int32_t n) { return word(n); }

    bool value(const char *bytes, size_t n) {
        if (n <= write_buffer_size - used_ && !failed_) {
            memcpy(buffer_.get() + used_, bytes, n);
            used_ += n;
            return true;
        }
        while (n > 0 && !failed_) {
            if (used_ == write_buffer_size)
                flush();
            const size_t part = std::min(n, write_buffer_size - used_);
            memcpy(buffer_.get() + used_, bytes, part);
            used_ += part;
            bytes += part;
            n -= part;
        }
        return !failed_;
    }

    bool word(int32_t n) {
        const uint32_t wire = wire_word(n, swap_);
        return value(reinterpret_cast<const char *>(&wire), sizeof wire);
    }

    // Writes what is buffered; false when any write failed.
    bool flush() {
        size_t done = 0;
        while (done < used_ && !failed_) {
            const ssize_t n = write(fd_, buffer_.get() + done, used_ - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n == 0) { // no progress, and none to expect from trying again
                errno = EIO;
                failed_ = true;
            } else if (errno != EINTR) {
                failed_ = true;
            }
        }
        written_ += used_;
        used_ = 0;
        start_writeback();
        return !failed_;
    }

private:
    // Starts the disk writing what has been written so far, every few
    // megabytes, so that the fsync at the end finds most of the file on disk
    // already instead of all of it still to write. Only a hint: errors are
    // left to the fsync.
    void start_writeback() {
        if (written_ - kicked_ < writeback_step)
            return;
        sync_file_range(fd_, static_cast<off_t>(kicked_), static_cast<off_t>(written_ - kicked_),
                        SYNC_FILE_RANGE_WRITE);
        kicked_ = written_;
    }

    int fd_;
    std::unique_ptr<char[]> buffer_;
    size_t used_ = 0;
    size_t written_ = 0, kicked_ = 0; // bytes written; bytes handed to writeback
    bool failed_ = false;
    bool swap_ = _db_byte_swap == 1;
};

// Header, then the record blocks; warns where the lists and the counters
// disagree (the counters are what the file says). False on a write failure.
bool write_database(FileWriter &out, const DataBase *db) {
    DataBaseName header = *db->dbname;
    header.version = static_cast<int32_t>(to_wire(header.version));
    header.records = static_cast<int32_t>(to_wire(header.records));
    if (!out.value(reinterpret_cast<const char *>(&header), sizeof header))
        return false;
    long records = 0;
    for (const DataBaseInfo *dbi = db->dbinfo; dbi; dbi = dbi->next, ++records) {
        const long written = write_record_block(out, dbi);
        if (written < 0)
            return false;
        if (written != dbi->num_params)
            say("[db_save] Warning: (1) Number Written doesn't match Database count [%ld/%ld]\n",
                written, static_cast<long>(dbi->num_params));
    }
    if (!out.flush())
        return false;
    if (records != db->dbname->records)
        say("[db_save] Warning: (2) Number Written doesn't match Database count [%ld/%ld]\n",
            records, static_cast<long>(db->dbname->records));
    return true;
}

// Writes the data file; 1 when it is in place, else 0 with a diagnostic.
// A pipe whose reader leaves, or a file-size limit, make the writes fail
// instead of ending the process with SIGPIPE or SIGXFSZ.
int write_data_file(const DataBase *db, const char *path) {
    const zn::SignalHold hold{SIGPIPE, SIGXFSZ};
    FileReplacement file;
    if (!file.open(path)) {
        say("[db_save] Error: Couldn't open %s for write\n", path);
        return 0;
    }
    FileWriter out(file.fd());
    if (!write_database(out, db) || !file.commit()) {
        say("[db_save] Error: Couldn't write %s\n", path);
        return 0;
    }
    return 1;
}

} // namespace

int db_save(DataBase *db) {
    if (!db)
        return 0;
    FilePaths paths;
    if (!save_paths(db, paths)) {
        say("[db_save] Error: Path too long for %s/%s.db\n", _db_data_path, db->table_name);
        return 0;
    }
    bool temporary_lock = false;
    if ((db->flags & DB_SAVE_LOCK) && !(db->flags & DB_LOCK)) {
        char content[64];
        snprintf(content, sizeof content, "Temporarally locked to save, pid %ld\n",
                 static_cast<long>(getpid()));
        switch (await_lock(paths.lock, db->flags & DB_BLOCK, content)) {
        case LockState::locked:
            say("[db_save] Error: %s is locked\n", paths.data);
            return -1;
        case LockState::expired:
            say("[db_save] Error: %s is locked, blocking expired\n", paths.data);
            return -1;
        case LockState::taken:
            temporary_lock = true;
            break;
        case LockState::free:
            break;
        }
    }
    const int result = write_data_file(db, paths.data);
    if (temporary_lock)
        unlink(paths.lock);
    return result;
}
