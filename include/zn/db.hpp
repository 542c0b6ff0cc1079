// zn/db.hpp -- C++ owner of a record database, with ranges over its records.
//
// zn::database owns a DataBase and closes it when destroyed (unless
// released); records and parameters are walked as bidirectional ranges that
// follow the links and never move the database's own cursors.
//
//   zn::database db = zn::database::open("hosts");
//   for (zn::record rec : db.records())
//       for (std::string_view value : rec.params()) ...
#ifndef ZN_DB_HPP
#define ZN_DB_HPP

#include <cstddef>
#include <cstring>
#include <iterator>
#include <ranges>
#include <string_view>
#include <utility>

#include "../zndb.h"
#include "common.hpp"

namespace zn ZN_CPP_HIDDEN {

enum class case_mode : int { sensitive = 0, ignore = 2 }; // ignore: compare lower-cased text
enum class order : int { ascending = 1, descending = 2 };
enum class save_result : int { saved = 1, failed = 0, locked = -1 }; // as db_save

// Up to three parameter positions (1 = first) whose texts, joined by a
// blank, make the sort key of a record: db.sort({2, 1}).
struct sort_keys {
    sort_keys(int first, int second = 0, int third = 0) : first(first), second(second), third(third) {}
    int first, second, third;
};

namespace detail {

// A bidirectional view of a C list: from Owner::*First along next, and back
// from the end starting at Owner::*Last; elements are Project(node). The
// iterators are plain links: removing the node one stands on invalidates it.
template <class Owner, class Node, Node *Owner::*First, Node *Owner::*Last, auto Project>
class links : public std::ranges::view_base {
public:
    class iterator {
    public:
        using iterator_concept = std::bidirectional_iterator_tag;
        using iterator_category = std::input_iterator_tag; // elements are values
        using value_type = decltype(Project(std::declval<Node *>()));
        using difference_type = std::ptrdiff_t;

        iterator() = default;
        iterator(Node *at, Owner *owner) : at_(at), owner_(owner) {}
        value_type operator*() const { return Project(at_); }
        iterator &operator++() {
            at_ = at_->next;
            return *this;
        }
        iterator &operator--() {
            at_ = at_ ? at_->prev : owner_->*Last;
            return *this;
        }
        iterator operator++(int) {
            iterator was = *this;
            ++*this;
            return was;
        }
        iterator operator--(int) {
            iterator was = *this;
            --*this;
            return was;
        }
        bool operator==(const iterator &other) const { return at_ == other.at_; }
        Node *node() const { return at_; }

    private:
        Node *at_ = nullptr;
        Owner *owner_ = nullptr;
    };

    links() = default;
    explicit links(Owner *owner) : owner_(owner) {}
    iterator begin() const { return {owner_ ? owner_->*First : nullptr, owner_}; }
    iterator end() const { return {nullptr, owner_}; }
    bool empty() const { return begin() == end(); }

private:
    Owner *owner_ = nullptr;
};

// A parameter's value bytes; empty when it has none.
inline std::string_view value_of(DataBaseParam *p) {
    return p->p_len > 0 ? std::string_view(p->p, static_cast<size_t>(p->p_len)) : std::string_view();
}

} // namespace detail

// A record's parameter values, first to last.
using param_range =
    detail::links<DataBaseInfo, DataBaseParam, &DataBaseInfo::p_first, &DataBaseInfo::p_last, detail::value_of>;

// A record of a database: a plain pointer, valid while the record exists.
class record {
public:
    record(DataBaseInfo *r = nullptr) : r_(r) {}               // null: no record
    explicit operator bool() const { return r_ != nullptr; }
    DataBaseInfo *get() const { return r_; }
    bool operator==(const record &) const = default;           // the same record

    param_range params() const { return param_range(r_); } // empty for no record
    long size() const { return r_ ? r_->num_params : 0; }   // parameter count

    // The n-th value (1 = first); empty when missing or without value.
    std::string_view operator[](int n) const {
        DataBaseParam *p = r_ ? db_param_recall(r_, n) : nullptr;
        return p ? detail::value_of(p) : std::string_view();
    }

    // Append a parameter holding a copy of value; false when out of memory.
    bool add(std::string_view value) const {
        return r_ && db_param_new(r_, static_cast<long>(value.size()), const_cast<char *>(value.data()));
    }

private:
    DataBaseInfo *r_;
};

namespace detail {
inline record as_record(DataBaseInfo *r) { return record(r); }
} // namespace detail

// A database's records, first to last.
using record_range = detail::links<DataBase, DataBaseInfo, &DataBase::dbinfo, &DataBase::dbinfo_end, detail::as_record>;

// The records whose parameter contains a text, in order, in one pass
// (db_search_next).
// A database holds one search: starting another one ends this one.
class search {
public:
    explicit search(DataBase *db) : db_(db) {} // a search set on db (null: finds nothing)
    record next() const { return db_ ? db_search_next(db_) : nullptr; } // null when none is left
    int matches_left() const { return db_ ? db_search_matches_left(db_) : 0; } // as db_search_matches_left

    class iterator {
    public:
        using iterator_concept = std::input_iterator_tag;
        using value_type = record;
        using difference_type = std::ptrdiff_t;
        iterator(const search *s) : s_(s), at_(s->next()) {}
        record operator*() const { return at_; }
        iterator &operator++() {
            at_ = s_->next();
            return *this;
        }
        void operator++(int) { ++*this; }
        bool operator==(std::default_sentinel_t) const { return !at_; }

    private:
        const search *s_;
        record at_;
    };
    iterator begin() const { return iterator(this); }
    std::default_sentinel_t end() const { return {}; }

private:
    DataBase *db_;
};

class database {
public:
    database() = default; // empty: no database
    explicit database(DataBase *db) : db_(db) {} // takes ownership of db
    database(database &&other) noexcept : db_(detail::take(other.db_)) {}
    database &operator=(database &&other) noexcept {
        if (this != &other)
            reset(detail::take(other.db_));
        return *this;
    }
    ~database() { reset(); }

    // A new empty catalogued database (db_create); empty when out of memory.
    static database create(cstr name, cstr desc, long version) {
        return database(db_create(name.c(), desc.c(), version));
    }
    // A data file read in (db_open with DB_* lock flags). Empty on failure;
    // why is the library's diagnostic, printed while _db_verbose is 1.
    static database open(cstr path, long flags = 0) { return database(db_open(path.c(), flags)); }
    // db_save to "<_db_data_path>/<name>.db".
    save_result save() const { return db_ ? save_result(db_save(db_)) : save_result::failed; }

    explicit operator bool() const { return db_ != nullptr; }
    DataBase *get() const { return db_; }             // still owned by the handle
    DataBase *release() { return detail::take(db_); } // the caller closes it
    void reset(DataBase *db = nullptr) { db_close(std::exchange(db_, db)); } // close, own db

    std::string_view name() const { return db_ ? db_->table_name : ""; } // catalogue name
    std::string_view description() const { return db_ ? db_name(db_) : ""; }
    long version() const { return db_version(db_); } // -1 when empty
    long size() const { return db_records(db_); }     // the header's record count; -1 when empty

    // Ranges, records and searches point into the database: a temporary
    // database (which closes at the end of the statement) hands out none.
    record_range records() const & { return record_range(db_); }
    record_range records() const && = delete;
    record add() & { return db_new(db_); }                                // a new last record; null on failure
    bool remove(record r) { return db_ && r && db_remove(db_, r.get()); } // r and its iterators die

    // The first record whose parameter n is exactly text (db_find).
    record find(int n, cstr text, case_mode c = case_mode::sensitive) const & {
        return db_ ? db_find(db_, n, text.c(), static_cast<int>(c)) : nullptr;
    }
    record find(int, cstr, case_mode = case_mode::sensitive) const && = delete;
    // Start the database's search for records whose parameter n contains text.
    zn::search search(int n, cstr text, case_mode c = case_mode::sensitive) & {
        const bool set = db_ && db_search_set(db_, static_cast<char>(c), n, text.c());
        return zn::search(set ? db_ : nullptr);
    }
    // Stable sort of the records; the number of neighbour exchanges it made.
    int sort(sort_keys keys, order o = order::ascending, case_mode c = case_mode::sensitive) {
        return db_ ? db_sort_by_param(db_, keys.first, keys.second, keys.third, static_cast<int>(o),
                                      static_cast<int>(c))
                   : 0;
    }
    // A deep copy catalogued as new_name (db_copy, which walks this one's
    // cursors); empty when out of memory.
    database copy(cstr new_name) const { return database(db_ ? db_copy(db_, new_name.c()) : nullptr); }

#ifndef ZNDB_STANDALONE
    // Send the database on fd through the loop (db_send). done(bool) runs
    // afterwards as a task: true when the whole stream went out, false after
    // a time-out. A failed transfer runs nothing (the library's diagnostic
    // says why); its callable is released when the next transfer starts.
    // Keep the database open and unchanged until then. False when the
    // transfer did not start.
    template <class F>
    bool send(int fd, F &&done) const;

    // Receive a database from fd through the loop (db_recv). done(DataBase *)
    // runs afterwards as a task with the new database, catalogued under the
    // sender's name (zn::database(db) makes a handle close it), or with null
    // after a time-out; a failed transfer runs nothing, as for send. False
    // when the transfer did not start.
    template <class F>
    static bool receive(int fd, F &&done);
#else
    // Write the whole stream to fd (db_send); false when a write failed.
    bool send(int fd) const { return db_ && db_send(fd, db_) == 0; }

    // Read a whole database from fd (db_recv): the new database, catalogued
    // under the sender's name, or null on failure.
    static DataBase *receive(int fd) { return db_recv(fd) == 0 ? _db_list_end->db : nullptr; }
#endif

private:
    DataBase *db_ = nullptr;
};

#ifndef ZNDB_STANDALONE
namespace detail {

// A transfer whose completion callable has not run yet; kept on a list of
// its own so that the callable of a failed transfer, which the library
// never calls, can be released.
struct transfer {
    using slot = detail::slot<void(DataBase *)>;
    int fd;
    const void *state; // the library's dBTransState while the transfer runs
    DataBase *db;      // sent, or being received
    slot *fn;
    transfer *next;
};

inline transfer *&transfers() {
    static transfer *first = nullptr;
    return first;
}

inline void forget(transfer *t) {
    for (transfer **at = &transfers(); *at; at = &(*at)->next)
        if (*at == t) {
            *at = t->next;
            break;
        }
    transfer::slot::release(t->fn);
    delete t;
}

// The library's callback: runs as the task "DB Callback" when the transfer
// is complete, as "DB Callback - ERROR" when it timed out.
inline void transfer_done(void *arg) {
    auto *t = static_cast<transfer *>(arg);
    const bool complete = current && current->task_name &&
                          strcmp(reinterpret_cast<const char *>(current->task_name), "DB Callback") == 0;
    (*t->fn)(complete ? t->db : nullptr);
    forget(t);
}

// True while t's transfer runs or its callback is still to run.
inline bool transfer_pending(const transfer *t) {
    const SchedFD *r = sched_find_fd(t->fd);
    return (r && r->handler == db_fd_event && r->arg == t->state) ||
           sched_find_task(transfer_done, const_cast<transfer *>(t), nullptr, SCHED_MATCH_FUNC | SCHED_MATCH_ARG);
}

// Releases what failed transfers left, then starts one with
// start(callback, arg); false (fn released) when it did not start.
template <class Start>
bool start_transfer(int fd, DataBase *db, transfer::slot *fn, Start start) {
    for (transfer *t = transfers(), *next; t; t = next) {
        next = t->next;
        if (!transfer_pending(t))
            forget(t);
    }
    auto *t = fn ? new (std::nothrow) transfer{fd, nullptr, db, fn, transfers()} : nullptr;
    if (!t || start(transfer_done, t) != 0) {
        transfer::slot::release(fn);
        delete t;
        return false;
    }
    transfers() = t;
    if (const SchedFD *r = sched_find_fd(fd); r && r->handler == db_fd_event) {
        t->state = r->arg;
        t->db = static_cast<const dBTransState *>(r->arg)->db;
    }
    return true;
}

} // namespace detail

template <class F>
bool database::send(int fd, F &&done) const {
    if (!db_)
        return false;
    auto *fn = detail::transfer::slot::make(
        [done = std::forward<F>(done)](DataBase *sent) mutable { done(sent != nullptr); });
    return detail::start_transfer(fd, db_, fn, [this, fd](auto callback, void *arg) {
        return db_send(fd, db_, callback, arg);
    });
}

template <class F>
bool database::receive(int fd, F &&done) {
    auto *fn = detail::transfer::slot::make(std::forward<F>(done));
    return detail::start_transfer(fd, nullptr, fn, [fd](auto callback, void *arg) {
        return db_recv(fd, callback, arg);
    });
}
#endif

} // namespace zn

template <class O, class N, N *O::*F, N *O::*L, auto P>
inline constexpr bool std::ranges::enable_borrowed_range<zn::detail::links<O, N, F, L, P>> = true;

#endif // ZN_DB_HPP
