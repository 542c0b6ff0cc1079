// internal.h -- declarations shared by the database's sources, never exported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "zndb.h"

namespace zndb {

// ---- diagnostics.cpp ----

// printf to standard output while _db_verbose is 1.
void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// say() followed by a flush of standard output: the transfer's diagnostics.
void say_now(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// The end of the process when lower-casing or sorting runs out of memory:
// prints "ERROR: malloc failed\r\n" whatever _db_verbose says, flushes and
// calls exit(0).
[[noreturn]] void malloc_failed();

// Counters of records and parameters move by one and wrap around instead of
// overflowing (a header read from a file may carry any count).
inline void count_up(int32_t &counter) {
    counter = static_cast<int32_t>(static_cast<uint32_t>(counter) + 1u);
}
inline void count_down(int32_t &counter) {
    counter = static_cast<int32_t>(static_cast<uint32_t>(counter) - 1u);
}

// ---- read and write buffers ----

// Gives a malloc'd buffer (or null) `capacity` bytes, keeping its content up
// to that size, and records the new size; false, with the buffer unchanged,
// when out of memory.
inline bool resize_buffer(char *&buffer, size_t &size, size_t capacity) {
    auto *resized = static_cast<char *>(realloc(buffer, capacity));
    if (!resized)
        return false;
    buffer = resized;
    size = capacity;
    return true;
}

// ---- descriptor.cpp ----

// open() of a data file that never waits: O_NONBLOCK, so that a FIFO without
// a peer gives an error (writing) or opens at once (reading) instead of
// hanging, and O_NOCTTY; the descriptor blocks again once it is open.
// O_CLOEXEC is added. open()'s result, with errno set on failure.
int open_without_waiting(const char *path, int flags, unsigned mode = 0);

// ---- catalogue.cpp ----

// A database as the library allocates it: the public record first, then
// what only the library needs, so a DataBase * is also a DatabaseNode *.
struct DatabaseNode {
    DataBase db;
    bool holds_lock; // this database created its lock file and removes it
};

inline DatabaseNode *node_of(DataBase *db) { return reinterpret_cast<DatabaseNode *>(db); }

// A cleared database with a cleared header, time_created now and the given
// table name (cut to 79 characters). On allocation failure prints
// "[<who>] Error: (1|2) Memory Allocation failed!\n" and returns null. The
// allocation messages are flushed at once, as the transfers' diagnostics
// must be; for the others a flush on a failure path costs nothing.
DataBase *make_database(const char *who, const char *table_name);

// Enter db at the end of the catalogue. On allocation failure prints
// "[<who>] Error: (<point>) Memory Allocation failed!\n" and returns false.
bool register_database(const char *who, DataBase *db, int point = 3);

// Free db with its records, header and search text; the catalogue and the
// lock file are not touched.
void free_database(DataBase *db);

// Copy text into a fixed field of `size` bytes, cut to size - 1 characters
// and zero-filled behind the terminator. Null copies as "".
void copy_field(char *field, size_t size, const char *text);

// ---- records.cpp ----

// Free a record and its parameters without unlinking it; returns the
// record's num_params after lowering it once per freed parameter.
int32_t free_record(DataBaseInfo *dbi);

// A record read from a file or stream, appended to db without changing the
// record count (the header read before counts it already). Null when out of
// memory.
DataBaseInfo *append_received_record(DataBase *db);

// ---- params.cpp ----

void free_param(DataBaseParam *dbp);

// True when a long length fits the 32-bit length field.
bool length_fits(long p_len);

// ---- text.cpp: the text of parameters as search and sort see it ----

// tolower() of every byte, taken from the C library at the time of the call.
struct CaseFold {
    unsigned char lower[256];
    CaseFold();
    unsigned char operator()(char c) const { return lower[static_cast<unsigned char>(c)]; }
};

// t(record, n): the text of the record's n-th parameter, or the default null
// string when it is missing or has no value.
std::string_view param_text(DataBaseInfo *dbi, int n);

// The text of one parameter as db_param_string gives it, up to its first NUL.
std::string_view text_of(DataBaseParam *dbp);

} // namespace zndb
