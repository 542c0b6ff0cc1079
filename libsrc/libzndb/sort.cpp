// sort.cpp -- stable sorts: records by up to three parameters, parameters of a record.
//
// The result is the one of exchanging neighbours that are out of order until
// none is left: the stable order, and the number of exchanges, which equals
// the number of pairs out of order. A merge sort yields both in O(n log n).
// Each key is built once (lower-cased once under case mode 2) into one store;
// its first eight bytes are kept beside it so most comparisons stay in the
// item array.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "internal.h"

using namespace zndb;

namespace {

constexpr size_t key_capacity = 119; // a sort key holds at most 119 characters
constexpr int ignore_case = 2;
constexpr int ascending = 1, descending = 2;

void *checked_malloc(size_t size) {
    void *p = malloc(size ? size : 1);
    if (!p)
        malloc_failed();
    return p;
}

// A key built from parts joined by the caller, cut to key_capacity bytes.
struct KeyBuffer {
    char bytes[key_capacity];
    size_t length = 0;

    void add(std::string_view part) {
        const size_t n = std::min(part.size(), key_capacity - length);
        memcpy(bytes + length, part.data(), n);
        length += n;
    }
};

struct SortItem {
    uint64_t prefix; // the first eight key bytes, big-endian, zero-padded
    size_t offset;   // of the key in the store
    size_t length;
    void *node;
};

// Keys of all items, back to back.
class KeyStore {
public:
    ~KeyStore() { free(bytes_); }

    // Appends the key (lower-cased under fold) and fills the item's key fields.
    void add(const KeyBuffer &key, const CaseFold *fold, SortItem &item) {
        if (!bytes_ || used_ + key.length > capacity_) {
            capacity_ = std::max(capacity_ * 2, used_ + key_capacity);
            auto *grown = static_cast<char *>(realloc(bytes_, capacity_));
            if (!grown)
                malloc_failed();
            bytes_ = grown;
        }
        char *to = bytes_ + used_;
        for (size_t i = 0; i < key.length; ++i)
            to[i] = fold ? static_cast<char>((*fold)(key.bytes[i])) : key.bytes[i];
        unsigned char head[8] = {};
        memcpy(head, to, std::min<size_t>(key.length, 8));
        item.prefix = 0;
        for (unsigned char byte : head)
            item.prefix = item.prefix << 8 | byte;
        item.offset = used_;
        item.length = key.length;
        used_ += key.length;
    }

    const char *bytes() const { return bytes_; }

private:
    char *bytes_ = nullptr;
    size_t used_ = 0, capacity_ = 0;
};

// Byte-wise comparison of two keys, as strcmp orders C strings (keys hold no
// NUL, so equal prefixes of a key shorter than 8 bytes mean equal lengths).
int compare_keys(const SortItem &a, const SortItem &b, const char *store) {
    if (a.prefix != b.prefix)
        return a.prefix < b.prefix ? -1 : 1;
    const size_t common = std::min(a.length, b.length);
    if (common > 8)
        if (int c = memcmp(store + a.offset + 8, store + b.offset + 8, common - 8))
            return c;
    return (a.length > b.length) - (a.length < b.length);
}

class MergeSort {
public:
    MergeSort(const char *store, int dir) : store_(store), dir_(dir) {}

    // Sorts items stably; returns the number of pairs that were out of order.
    uint64_t run(SortItem *items, size_t n) {
        auto *scratch = static_cast<SortItem *>(checked_malloc(n * sizeof(SortItem)));
        scratch_ = scratch;
        inversions_ = 0;
        sort(items, n);
        free(scratch);
        return inversions_;
    }

private:
    // Whether a must come before b although it stands behind it.
    bool before(const SortItem &a, const SortItem &b) const {
        const int c = compare_keys(a, b, store_);
        return dir_ == ascending ? c < 0 : c > 0;
    }

    void insertion_sort(SortItem *items, size_t n) {
        for (size_t i = 1; i < n; ++i) {
            const SortItem item = items[i];
            size_t j = i;
            for (; j > 0 && before(item, items[j - 1]); --j)
                items[j] = items[j - 1];
            inversions_ += i - j;
            items[j] = item;
        }
    }

    void sort(SortItem *items, size_t n) {
        if (n <= 16) {
            insertion_sort(items, n);
            return;
        }
        const size_t mid = n / 2;
        sort(items, mid);
        sort(items + mid, n - mid);
        if (!before(items[mid], items[mid - 1]))
            return; // already in order
        size_t i = 0, j = mid, out = 0;
        while (i < mid && j < n) {
            if (before(items[j], items[i])) {
                inversions_ += mid - i; // items[j] passes every item left in the first half
                scratch_[out++] = items[j++];
            } else {
                scratch_[out++] = items[i++];
            }
        }
        while (i < mid)
            scratch_[out++] = items[i++];
        memcpy(items, scratch_, out * sizeof(SortItem)); // the rest is in place
    }

    const char *store_;
    int dir_;
    SortItem *scratch_ = nullptr;
    uint64_t inversions_ = 0;
};

// Sorts a list whose elements key_of turns into keys; relinks head and tail.
template <class T, class KeyOf>
int sort_list(T *&head, T *&tail, int dir, int case_mode, KeyOf key_of) {
    if (dir != ascending && dir != descending)
        return 0;
    size_t n = 0;
    for (T *node = head; node; node = node->next)
        ++n;
    if (n < 2)
        return 0;
    auto *items = static_cast<SortItem *>(checked_malloc(n * sizeof(SortItem)));
    KeyStore store;
    const CaseFold fold;
    size_t i = 0;
    for (T *node = head; node; node = node->next, ++i) {
        KeyBuffer key;
        key_of(node, key);
        items[i].node = node;
        store.add(key, case_mode == ignore_case ? &fold : nullptr, items[i]);
    }
    const uint64_t exchanges = MergeSort(store.bytes(), dir).run(items, n);
    T *prev = nullptr;
    for (i = 0; i < n; ++i) {
        T *node = static_cast<T *>(items[i].node);
        node->prev = prev;
        if (prev)
            prev->next = node;
        prev = node;
    }
    prev->next = nullptr;
    head = static_cast<T *>(items[0].node);
    tail = prev;
    free(items);
    return exchanges > INT_MAX ? INT_MAX : static_cast<int>(exchanges);
}

} // namespace

int db_sort_by_param(DataBase *db, int param, int param2, int param3, int dir,
                     int case_sensitive) {
    if (!db)
        return 0;
    auto key_of = [&](DataBaseInfo *dbi, KeyBuffer &key) {
        key.add(param_text(dbi, param));
        for (int extra : {param2, param3}) {
            if (extra != 0) {
                key.add(" ");
                key.add(param_text(dbi, extra));
            }
        }
    };
    return sort_list(db->dbinfo, db->dbinfo_end, dir, case_sensitive, key_of);
}

int db_sort_params(DataBaseInfo *dbi, int dir, int case_sensitive) {
    if (!dbi)
        return 0;
    auto key_of = [](DataBaseParam *dbp, KeyBuffer &key) { key.add(text_of(dbp)); };
    return sort_list(dbi->p_first, dbi->p_last, dir, case_sensitive, key_of);
}
