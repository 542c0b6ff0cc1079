// lists.h -- what the record list and the parameter list have in common:
// appending, the cursor and its stepping rules, and positional recall.
#pragma once

#include "../common/dlist.h"
#include "zndb.h"

namespace zndb {

// A list with a cursor: a database's records or a record's parameters.
template <class T>
struct CursorList {
    T *&head, *&tail, *&cursor;
    char &first_access;

    // Place the cursor; the next step delivers `at` without moving.
    void place(T *at) {
        cursor = at;
        first_access = 1;
    }

    // Append at the tail; the first element of an empty list places the cursor.
    void append(T *node) {
        const bool was_empty = head == nullptr;
        zn::list_append(head, tail, node);
        if (was_empty)
            place(node);
    }

    T *current() {
        first_access = 0;
        return cursor;
    }

    // The placed element right after placing, else the neighbour (the cursor
    // moves there), or null at the end (the cursor stays).
    T *step(bool forwards) {
        if (first_access) {
            first_access = 0;
            return cursor;
        }
        T *to = cursor ? (forwards ? cursor->next : cursor->prev) : nullptr;
        if (to)
            cursor = to;
        return to;
    }
};

inline CursorList<DataBaseInfo> records_of(DataBase *db) {
    return {db->dbinfo, db->dbinfo_end, db->dbcur, db->first_access};
}

inline CursorList<DataBaseParam> params_of(DataBaseInfo *dbi) {
    return {dbi->p_first, dbi->p_last, dbi->p_cur, dbi->first_access};
}

// The n-th element counting from 1 (n of 1 or less: the head); null when the
// list is shorter. O(n).
template <class T>
T *recall(T *head, int n) {
    T *at = head;
    for (int i = 1; i < n && at; ++i)
        at = at->next;
    return at;
}

} // namespace zndb
