// dlist.h -- append and unlink for the intrusive doubly linked lists of zn.
//
// Every zn record type carries `next` and `prev` pointers and lives on a list
// whose head and tail are globals of its library. These helpers keep the
// head, the tail and the links consistent; counters stay with the callers.
#pragma once

namespace zn {

template <class T>
void list_append(T *&head, T *&tail, T *node) {
    node->next = nullptr;
    node->prev = tail;
    if (tail)
        tail->next = node;
    else
        head = node;
    tail = node;
}

template <class T>
void list_unlink(T *&head, T *&tail, T *node) {
    if (node->prev)
        node->prev->next = node->next;
    else
        head = node->next;
    if (node->next)
        node->next->prev = node->prev;
    else
        tail = node->prev;
    node->next = node->prev = nullptr;
}

} // namespace zn
