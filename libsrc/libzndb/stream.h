// stream.h -- the transfer stream: its words, and the writer and reader that move it over a descriptor.
//
// A stream is the start word, the 80-byte table name, the 88-byte header
// (DataBaseName), one record block per record and the end word where the
// next block's parameter count would stand. A database without records is
// the header followed by the end word. Every word is 32 bits, byte-reversed
// while _db_byte_swap is 1 (taken when a writer or reader is made).
//
// Both ends move whole fields whatever the descriptor does: short reads and
// writes carry on, EINTR is retried, and a descriptor that has no data or no
// room either is waited for (Pace::wait) or left until the caller's next
// readiness event (Pace::return_now). Writes never raise SIGPIPE.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "zndb.h"

namespace zndb {

inline constexpr uint32_t stream_start = 0xCAFEBABEu;
inline constexpr uint32_t stream_end = 0xDEADBEEFu;
inline constexpr size_t stream_name_size = sizeof(DataBase::table_name);
inline constexpr size_t stream_header_size = 4 + stream_name_size + sizeof(DataBaseName);

// The longest parameter value a receiver accepts: no real parameter comes
// near it, and a longer one ends the transfer before anything is allocated.
inline constexpr int32_t max_received_length = 256 * 1024 * 1024;

// The fields of a stream, as the diagnostics of a failed write name them.
enum class Field : uint8_t { start, name, header, count, length, value, end };

enum class Pace : uint8_t {
    wait,       // wait for the descriptor (poll) until the work is done
    return_now, // return when the descriptor has nothing more now
};

enum class Progress : uint8_t {
    done,   // the goal was reached
    later,  // the descriptor has nothing more now, or the budget is used up
    failed, // a write or read failed, or the stream is damaged or cut
};

// Writes a whole stream, or one record block, from a staging buffer that
// holds whole units (the header, records, the end word) and is written out
// before the next units are staged. A record is staged whole, so one larger
// than a batch costs its size in memory while it is written.
class StreamWriter {
public:
    // The stream of db from its start word, staged in batches of `batch` bytes.
    StreamWriter(int fd, const DataBase *db, size_t batch);
    // The block of one record alone.
    StreamWriter(int fd, const DataBaseInfo *dbi);
    ~StreamWriter();
    StreamWriter(const StreamWriter &) = delete;
    StreamWriter &operator=(const StreamWriter &) = delete;

    // Writes until everything is out (done), until the descriptor takes no
    // more with Pace::return_now or at least `budget` bytes went out (later),
    // or until a write fails or memory for staging runs out (failed; see
    // failed_field). The header is always staged alone, so a budget of 1
    // writes the header and no record.
    Progress pump(Pace pace, size_t budget);

    // The first field that did not go out whole, after pump() failed.
    Field failed_field() const { return failed_; }

    // Prints the diagnostic of the failed field; end_who names the function
    // that reports a failed end word ("db_send" or "db_fd_event").
    void report_failure(const char *end_who) const;

    // The next record to stage; null once every record is staged.
    const DataBaseInfo *next_record() const { return next_.kind == Unit::record ? next_.dbi : nullptr; }

private:
    struct Unit {
        enum Kind : uint8_t { header, record, end, none } kind;
        const DataBaseInfo *dbi;
    };
    struct StagingSink;
    struct LocatingSink;

    bool stage();
    bool stage_header();
    Unit after(const Unit &unit) const;
    Field locate(size_t offset) const;
    bool put(const void *bytes, size_t n);
    bool put_word(int32_t value);
    bool grow(size_t at_least);

    int fd_;
    const DataBase *db_;
    bool swap_;
    bool single_;
    size_t batch_;
    Unit next_, batch_first_;
    char *buffer_ = nullptr;
    size_t capacity_ = 0, used_ = 0, sent_ = 0;
    Field failed_ = Field::start;
};

// Reads a stream, or one record block, into a database, consuming no byte
// beyond the point it is asked to reach: sockets are peeked and only the
// bytes up to that point are taken; other descriptors are read no further
// than the stream is certain to go. A partly read field stays buffered
// until the rest arrives. Failures print their diagnostics.
class StreamReader {
public:
    enum class Goal : uint8_t {
        header, // the end of the header
        record, // the end of the next record block, or the end word
        end,    // the end word
    };

    // Reads into db (its table name and header from the stream when
    // from_start, else record blocks only); `buffer` is the initial size
    // of the read buffer.
    StreamReader(int fd, DataBase *db, bool from_start, size_t buffer);
    ~StreamReader();
    StreamReader(const StreamReader &) = delete;
    StreamReader &operator=(const StreamReader &) = delete;

    // Reads and appends records until the goal is reached (done), until the
    // descriptor has nothing more with Pace::return_now or `budget` bytes
    // were read (later), or until the stream fails (failed, reported).
    Progress pump(Goal goal, Pace pace, size_t budget);

    // The end word has been read.
    bool at_end() const { return phase_ == Phase::ended; }
    // The header was complete when the stream failed.
    bool failed_in_records() const { return phase_ >= Phase::count; }

private:
    enum class Phase : uint8_t { start, name, header, count, params, ended };
    enum class Fill : uint8_t { got, nothing_now, ended, no_memory };
    struct Source;

    Progress parse(Goal goal, bool cut, size_t pause_at);
    bool have(size_t n);
    uint32_t take_word();
    size_t known(Goal goal) const;
    Fill fill(Goal goal, size_t &got);
    void take(Progress outcome);
    Progress out_of_memory();

    int fd_;
    DataBase *db_;
    bool swap_;
    bool peekable_;
    Phase phase_;
    DataBaseInfo *dbi_ = nullptr;
    int32_t left_ = 0;           // parameters of dbi_ still to come
    char *buffer_ = nullptr;
    size_t initial_, capacity_ = 0, begin_ = 0, end_ = 0;
    size_t taken_ = 0;           // bytes before it are taken from the descriptor
    bool paused_ = false;        // the parse paused after a slice
    size_t want_ = 0;            // bytes from begin_ the parser needs to go on
    int error_ = 0;              // errno of the read that failed; 0 at end of file
};

// ---- descriptor.cpp ----

// Waits until fd is ready for events (POLLIN or POLLOUT), retrying after
// EINTR. False when poll() fails.
bool wait_for(int fd, short events);

// True for a stream socket, whose data can be peeked at.
bool is_stream_socket(int fd);

} // namespace zndb
