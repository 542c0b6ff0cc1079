// stream_support.h -- transfer streams in the database tests: descriptors, a stream encoder
// written apart from the library, and sending and receiving with whichever build is linked.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "child.h"
#include "db_support.h"
#include "zndb.h"

namespace dbtest {

// ---- descriptors ----

enum class Transport { socket, pipe };

inline const char *name_of(Transport t) { return t == Transport::socket ? "socket" : "pipe"; }

// Two connected ends: reader() takes what writer() sends (both ends of a
// socketpair are both, a pipe has one of each). Closed at the end.
class Channel {
public:
    explicit Channel(Transport transport = Transport::socket) {
        const int rc = transport == Transport::socket ? socketpair(AF_UNIX, SOCK_STREAM, 0, fd_)
                                                      : pipe(fd_);
        if (rc != 0)
            abort();
    }
    ~Channel() {
        close_reader();
        close_writer();
    }
    Channel(const Channel &) = delete;
    Channel &operator=(const Channel &) = delete;

    int reader() const { return fd_[0]; }
    int writer() const { return fd_[1]; }
    void close_reader() { close_end(0); }
    void close_writer() { close_end(1); }

private:
    void close_end(int i) {
        if (fd_[i] >= 0)
            close(fd_[i]);
        fd_[i] = -1;
    }
    int fd_[2];
};

inline void write_all(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

using zntest::read_all;

// Writes bytes to a channel's writer from a thread, closing the writer
// afterwards when close_after is set; so that streams of any size can be
// offered to a receiver in this thread.
class Feeder {
public:
    Feeder(Channel &channel, std::string bytes, bool close_after = true)
        : thread_([&channel, bytes = std::move(bytes), close_after] {
              write_all(channel.writer(), bytes);
              if (close_after)
                  channel.close_writer();
          }) {}
    ~Feeder() { thread_.join(); }
    Feeder(const Feeder &) = delete;
    Feeder &operator=(const Feeder &) = delete;

private:
    std::thread thread_;
};

// Reads a channel's reader up to its end of file in a thread.
class Drain {
public:
    explicit Drain(Channel &channel) : thread_([this, &channel] { bytes_ = read_all(channel.reader()); }) {}
    ~Drain() { join(); }
    Drain(const Drain &) = delete;
    Drain &operator=(const Drain &) = delete;

    const std::string &bytes() {
        join();
        return bytes_;
    }

private:
    void join() {
        if (thread_.joinable())
            thread_.join();
    }
    std::thread thread_;
    std::string bytes_;
};

// ---- the stream as the tests expect it ----

// Stream bytes built field by field, remembering where each field ends, so
// that a test can cut a stream inside or after any of them.
class StreamEncoder {
public:
    enum class Kind { start, name, header, count, length, value, end };
    struct FieldEnd {
        size_t end;
        Kind kind;
    };

    explicit StreamEncoder(bool swap = false) : words_(swap) {}

    StreamEncoder &start() { return word(static_cast<int32_t>(0xCAFEBABEu), Kind::start); }
    StreamEncoder &end() { return word(static_cast<int32_t>(0xDEADBEEFu), Kind::end); }

    // The start word, the table name, and the 88-byte header.
    StreamEncoder &header(const std::string &table, const std::string &desc, int32_t version,
                          int32_t records) {
        start();
        std::string name = table;
        name.resize(80, '\0');
        raw(name, Kind::name);
        Encoder block(swapped());
        block.header(desc, version, records);
        return raw(block.bytes(), Kind::header);
    }

    // A record block of values, each with its own length.
    StreamEncoder &record(std::initializer_list<std::string> values) {
        count(static_cast<int32_t>(values.size()));
        for (const std::string &v : values)
            param(v);
        return *this;
    }

    StreamEncoder &count(int32_t n) { return word(n, Kind::count); }
    StreamEncoder &length(int32_t n) { return word(n, Kind::length); }
    StreamEncoder &param(const std::string &value) {
        length(static_cast<int32_t>(value.size()));
        return value.empty() ? *this : raw(value, Kind::value);
    }

    StreamEncoder &word(int32_t value, Kind kind) {
        Encoder one(swapped());
        one.word(value);
        return raw(one.bytes(), kind);
    }

    StreamEncoder &raw(const std::string &bytes, Kind kind) {
        bytes_ += bytes;
        fields_.push_back({bytes_.size(), kind});
        return *this;
    }

    const std::string &bytes() const { return bytes_; }
    const std::vector<FieldEnd> &fields() const { return fields_; }

    // The field that holds byte `offset` (the one a cut there leaves short).
    Kind field_at(size_t offset) const {
        for (const FieldEnd &f : fields_)
            if (offset < f.end)
                return f.kind;
        return Kind::end;
    }

private:
    bool swapped() const { return words_; }
    bool words_;
    std::string bytes_;
    std::vector<FieldEnd> fields_;
};

// A database with a bit of everything: binary values, a value of length 0,
// one without value (negative length), a record without parameters.
inline DataBase *sample_database(const char *table = "sample") {
    DataBase *db = db_create(const_cast<char *>(table), const_cast<char *>("sample records"), 7);
    add_record(db, {"alpha", "", std::string("b\0in\xff", 5)});
    db_new(db);
    DataBaseInfo *third = add_record(db, {"gamma"});
    db_param_new(third, -3, nullptr);
    return db;
}

// n records of four parameters (one of them empty) appended to db.
inline void add_many(DataBase *db, int n) {
    for (int i = 0; i < n; ++i)
        add_record(db, {"first value " + std::to_string(i), "second", std::to_string(i * 7), ""});
}

inline DataBase *many_records(int n, const char *table = "many") {
    DataBase *db = db_create(const_cast<char *>(table), const_cast<char *>("lots"), 2);
    add_many(db, n);
    return db;
}


// What the cross-build tests send: the sample, a value larger than any
// batch, and many small records.
inline DataBase *cross_database() {
    DataBase *db = sample_database("crossing");
    add_record(db, {std::string(300 * 1024, 'v'), "after the big one"});
    add_many(db, 5000);
    return db;
}

// The stream of sample_database(), as the tests encode it.
inline StreamEncoder sample_stream(bool swap = false) {
    StreamEncoder s(swap);
    s.header("sample", "sample records", 7, 3)
        .record({"alpha", "", std::string("b\0in\xff", 5)})
        .record({})
        .count(2)
        .param("gamma")
        .length(-3)
        .end();
    return s;
}

// Everything a receiver kept of a database, as text: header, and every
// record's parameters with their lengths and (escaped) bytes.
inline std::string digest(DataBase *db) {
    if (!db)
        return "(none)";
    std::string out = std::string(db->table_name) + "|" + db->dbname->name + "|" +
                      std::to_string(db->dbname->version) + "|" + std::to_string(db->dbname->records);
    for (DataBaseInfo *dbi = db->dbinfo; dbi; dbi = dbi->next) {
        out += "\n" + std::to_string(dbi->num_params) + ":";
        for (DataBaseParam *p = dbi->p_first; p; p = p->next) {
            out += " " + std::to_string(p->p_len) + "=";
            for (int i = 0; i < p->p_len; ++i) {
                const auto c = static_cast<unsigned char>(p->p[i]);
                out += c >= 0x20 && c < 0x7f ? std::string(1, static_cast<char>(c))
                                              : "\\" + std::to_string(c);
            }
            if (p->p_len <= 0 && p->p)
                out += "(value!)";
        }
    }
    return out;
}

// ---- sending and receiving with the linked build ----

#ifndef ZNDB_STANDALONE
// The scheduler, initialised once per process.
inline void ensure_scheduler() {
    static const bool initialised = sched_init() == 0;
    if (!initialised)
        abort();
}

// True while a transfer holds fd.
inline bool transfer_holds(int fd) {
    const SchedFD *rec = sched_find_fd(fd);
    return rec && rec->handler == db_fd_event;
}

// Runs the loop until done() holds, asked by a task that runs in every pass
// (it must be the only such task: the loop runs two of them in turn
// without end).
inline void run_loop_until(std::function<bool()> done) {
    static char watcher_name[] = "loop watcher";
    struct Watch {
        static void check(void *arg) {
            if ((*static_cast<std::function<bool()> *>(arg))())
                sched_stop_loop();
        }
    };
    sched_task(Watch::check, &done, SCHED_IMMEDIATE | SCHED_RESCHEDULE, 0, watcher_name);
    sched_loop();
    sched_remove_task(Watch::check, &done, nullptr, SCHED_MATCH_FUNC | SCHED_MATCH_ARG);
}

// Runs the loop until no transfer holds any of fds, calling each_pass in
// every pass; the completion callback tasks of the transfers have run by
// then.
inline void run_transfers(const std::vector<int> &fds, const std::function<void()> &each_pass = {}) {
    run_loop_until([&] {
        if (each_pass)
            each_pass();
        for (int fd : fds)
            if (transfer_holds(fd))
                return false;
        return true;
    });
}

// A completion callback that writes down the name of the task it runs in.
inline void note_callback(void *arg) {
    *static_cast<std::string *>(arg) = reinterpret_cast<const char *>(current->task_name);
}
#endif

struct Outcome {
    int result = -2;      // what db_send or db_recv returned
    bool complete = false; // the transfer completed (integrated: "DB Callback" ran)
    std::string callback;  // integrated: the task name the callback ran in
    std::string output;    // the diagnostics on standard output
};

// db_send of the linked build on fd, to its end; with capture its
// diagnostics are taken from standard output into `output`.
inline Outcome send_on(int fd, DataBase *db, bool capture = true) {
    Outcome o;
    auto run = [&] {
#ifdef ZNDB_STANDALONE
        o.result = db_send(fd, db);
        o.complete = o.result == 0;
#else
        ensure_scheduler();
        o.result = db_send(fd, db, note_callback, &o.callback);
        if (o.result == 0)
            run_transfers({fd});
        o.complete = o.callback == "DB Callback";
#endif
    };
    if (capture)
        o.output = stdout_of(run);
    else
        run();
    return o;
}

// db_recv of the linked build on fd, to its end.
inline Outcome recv_on(int fd) {
    Outcome o;
    o.output = stdout_of([&] {
#ifdef ZNDB_STANDALONE
        o.result = db_recv(fd);
        o.complete = o.result == 0;
#else
        ensure_scheduler();
        o.result = db_recv(fd, note_callback, &o.callback);
        if (o.result == 0)
            run_transfers({fd});
        o.complete = o.callback == "DB Callback";
#endif
    });
    return o;
}

// The stream db_send writes for db, read at the other end.
inline std::string stream_of(DataBase *db, Transport transport = Transport::socket) {
    Channel channel(transport);
    Drain drain(channel);
    const Outcome o = send_on(channel.writer(), db);
    channel.close_writer();
    return o.complete ? drain.bytes() : "(send failed: " + o.output + ")";
}

struct Received : Outcome {
    DataBase *db = nullptr; // the received database (the newest catalogue entry)
    std::string rest;       // what was left on the descriptor afterwards
};

// Offers bytes (then end of file) to db_recv of the linked build. Streams
// that fit into the descriptor are there in full before db_recv starts;
// larger ones are written while it reads.
inline Received receive(const std::string &bytes, Transport transport = Transport::socket) {
    constexpr size_t fits = 32 * 1024;
    Channel channel(transport);
    const DataBaseList *before = _db_list_end;
    Received r;
    auto run = [&] {
        static_cast<Outcome &>(r) = recv_on(channel.reader());
        r.rest = read_all(channel.reader());
    };
    if (bytes.size() <= fits) {
        write_all(channel.writer(), bytes);
        channel.close_writer();
        run();
    } else {
        Feeder feeder(channel, bytes);
        run();
    }
    if (_db_list_end != before)
        r.db = _db_list_end->db;
    return r;
}

} // namespace dbtest
