// Databases, records and parameters in memory: catalogue, settings, cursors, values, messages.
#include <gtest/gtest.h>

#include <string>

#include "db_support.h"
#include "zndb.h"

using namespace dbtest;

namespace {

char name_x[] = "x";
char desc_x[] = "a description";

TEST(Catalogue, CreateFindAndClose) {
    DataBase *db = db_create(name_x, desc_x, 7);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(db_records(db), 0);
    EXPECT_EQ(db_version(db), 7);
    EXPECT_STREQ(db_name(db), "a description");
    EXPECT_EQ(db_find_dbase(name_x), db);
    EXPECT_EQ(db->flags, 0);
    EXPECT_STREQ(db->lock_file, "");
    EXPECT_NE(db->time_created, 0u);
    EXPECT_EQ(_db_list->name, db->table_name);

    // The same name again: the older one is found until it is closed.
    DataBase *second = db_create(name_x, desc_x, 8);
    EXPECT_EQ(db_find_dbase(name_x), db);
    EXPECT_EQ(_db_list_end->db, second);
    EXPECT_EQ(_db_list->next, _db_list_end);
    EXPECT_EQ(_db_list_end->prev, _db_list);
    db_close(db);
    EXPECT_EQ(db_find_dbase(name_x), second);
    EXPECT_EQ(_db_list, _db_list_end);
    EXPECT_EQ(_db_list->prev, nullptr);
    db_close_all();
    EXPECT_EQ(_db_list, nullptr);
    EXPECT_EQ(_db_list_end, nullptr);
    EXPECT_EQ(db_find_dbase(name_x), nullptr);
}

TEST(Catalogue, LongNamesAndDescriptionsAreCutTo79) {
    std::string long_name(100, 'n'), long_desc(100, 'd');
    DataBase *db = db_create(str(long_name), str(long_desc), 1);
    EXPECT_EQ(std::string(db->table_name), long_name.substr(0, 79));
    EXPECT_EQ(std::string(db_name(db)), long_desc.substr(0, 79));
    // A created header is zero behind the terminator.
    DataBase *short_db = db_create(name_x, desc_x, 1);
    for (size_t i = strlen(desc_x); i < 80; ++i)
        EXPECT_EQ(short_db->dbname->name[i], '\0');
}

TEST(Catalogue, NullHandlesAndUnknownDatabase) {
    EXPECT_EQ(db_records(nullptr), -1);
    EXPECT_EQ(db_version(nullptr), -1);
    EXPECT_EQ(db_name(nullptr), nullptr);
    EXPECT_EQ(db_new(nullptr), nullptr);
    EXPECT_EQ(db_cur(nullptr), nullptr);
    EXPECT_EQ(db_next(nullptr), nullptr);
    EXPECT_EQ(db_prev(nullptr), nullptr);
    EXPECT_EQ(db_remove(nullptr, nullptr), 0);
    EXPECT_EQ(db_param_new(nullptr, 1, name_x), nullptr);
    EXPECT_EQ(db_param_update(nullptr, 1, name_x), 0);
    EXPECT_EQ(db_param_remove(nullptr, nullptr), 0);
    EXPECT_EQ(db_param_cur(nullptr), nullptr);
    db_start(nullptr);
    db_end(nullptr);
    db_param_start(nullptr);
    db_param_end(nullptr);

    DataBase stray{};
    EXPECT_EQ(stdout_of([&] { db_close(&stray); }),
              "[db_close] ERROR: Could not find DB in master list\n");
    db_set_verbose(0);
    EXPECT_EQ(stdout_of([&] { db_close(&stray); }), "");
    db_set_verbose(2);
    EXPECT_EQ(stdout_of([&] { db_close(&stray); }), "");
}

TEST(Settings, DataPathLimitAndNullString) {
    EXPECT_STREQ(_db_data_path, "");
    EXPECT_EQ(_db_verbose, 1);
    EXPECT_EQ(_db_byte_swap, 0);
    EXPECT_STREQ(_db_default_null_string, "(null)");
    std::string p255(255, 'p');
    EXPECT_EQ(db_set_data_path(str(p255)), 1);
    EXPECT_EQ(std::string(_db_data_path), p255);
    std::string p256(256, 'q');
    EXPECT_EQ(db_set_data_path(str(p256)), 0);
    EXPECT_EQ(std::string(_db_data_path), p255);

    char null_text[] = "NIL";
    db_set_default_null_string(null_text);
    EXPECT_EQ(_db_default_null_string, null_text);
    DataBase *db = db_create(name_x, desc_x, 1);
    DataBaseInfo *dbi = add_record(db, {""});
    EXPECT_STREQ(db_param_string(dbi->p_first), "NIL");
    null_text[0] = 'n'; // the pointer is stored, so changes show through
    EXPECT_STREQ(db_param_string(nullptr), "nIL");
    db_set_byte_swap(1);
    EXPECT_EQ(_db_byte_swap, 1);
}

TEST(Cursor, RecordStepsFollowTheirRules) {
    DataBase *db = db_create(name_x, desc_x, 1);
    db_start(db);
    EXPECT_EQ(db_next(db), nullptr);
    EXPECT_EQ(db_next(db), nullptr);

    DataBaseInfo *a = add_record(db, {"A"});
    EXPECT_EQ(db_next(db), a) << "the first record places the cursor";
    DataBaseInfo *b = add_record(db, {"B"});
    DataBaseInfo *c = add_record(db, {"C"});
    EXPECT_EQ(db_records(db), 3);

    db_start(db);
    EXPECT_EQ(db_next(db), a);
    EXPECT_EQ(db_next(db), b);
    EXPECT_EQ(db_next(db), c);
    EXPECT_EQ(db_next(db), nullptr);
    EXPECT_EQ(db_prev(db), b) << "running off the end leaves the cursor on the last";

    db_start(db);
    EXPECT_EQ(db_cur(db), a);
    EXPECT_EQ(db_next(db), b) << "cur uses up the first delivery";

    db_end(db);
    EXPECT_EQ(db_prev(db), c);
    EXPECT_EQ(db_prev(db), b);
    EXPECT_EQ(db_prev(db), a);
    EXPECT_EQ(db_prev(db), nullptr);
    EXPECT_EQ(db_cur(db), a);

    EXPECT_EQ(db_recall(db, 0), a);
    EXPECT_EQ(db_recall(db, 1), a);
    EXPECT_EQ(db_recall(db, 3), c);
    EXPECT_EQ(db_recall(db, 4), nullptr);
    EXPECT_EQ(db_cur(db), a) << "recall does not move the cursor";
}

TEST(Cursor, ParameterStepsFollowTheSameRules) {
    DataBase *db = db_create(name_x, desc_x, 1);
    DataBaseInfo *dbi = db_new(db);
    EXPECT_EQ(db_param_next(dbi), nullptr);
    DataBaseParam *a = db_param_new(dbi, 1, (void *)"a");
    EXPECT_EQ(db_param_next(dbi), a);
    DataBaseParam *b = db_param_new(dbi, 1, (void *)"b");
    DataBaseParam *c = db_param_new(dbi, 1, (void *)"c");
    EXPECT_EQ(db_num_params(dbi), 3);
    db_param_start(dbi);
    EXPECT_EQ(db_param_cur(dbi), a);
    EXPECT_EQ(db_param_next(dbi), b);
    EXPECT_EQ(db_param_next(dbi), c);
    EXPECT_EQ(db_param_next(dbi), nullptr);
    EXPECT_EQ(db_param_prev(dbi), b);
    db_param_end(dbi);
    EXPECT_EQ(db_param_prev(dbi), c);
    EXPECT_EQ(db_param_prev(dbi), b);
    EXPECT_EQ(db_param_recall(dbi, -5), a);
    EXPECT_EQ(db_param_recall(dbi, 3), c);
    EXPECT_EQ(db_param_recall(dbi, 4), nullptr);
}

TEST(Params, ValuesKeepTheirBytesAndANul) {
    DataBase *db = db_create(name_x, desc_x, 1);
    DataBaseInfo *dbi = db_new(db);
    DataBaseParam *abc = db_param_new(dbi, 3, (void *)"abcdef");
    EXPECT_EQ(db_param_length(abc), 3);
    EXPECT_STREQ(db_param_string(abc), "abc");
    EXPECT_EQ(abc->p[3], '\0');
    EXPECT_EQ(reinterpret_cast<uintptr_t>(abc->p) % 8, 0u);

    const char binary[] = {'x', '\0', 'y'};
    DataBaseParam *bin = db_param_new(dbi, 3, (void *)binary);
    EXPECT_EQ(std::string(static_cast<char *>(db_param_value(bin)), 3), std::string(binary, 3));

    DataBaseParam *empty = db_param_new(dbi, 0, nullptr);
    EXPECT_EQ(db_param_length(empty), 0);
    EXPECT_EQ(empty->p, nullptr);
    EXPECT_STREQ(static_cast<char *>(db_param_value(empty)), "");
    EXPECT_STREQ(db_param_string(empty), "(null)");
    EXPECT_STREQ(static_cast<char *>(db_param_value(nullptr)), "");
    EXPECT_EQ(db_param_find(dbi, str("(null)")), empty);
    EXPECT_EQ(db_param_find(dbi, str("abc")), abc);
    EXPECT_EQ(db_param_find(dbi, str("ab")), nullptr);

    DataBaseParam *negative = db_param_new(dbi, -4, nullptr);
    EXPECT_EQ(db_param_length(negative), -4);
    EXPECT_STREQ(db_param_string(negative), "(null)");
    EXPECT_EQ(db_num_params(dbi), 4);
}

TEST(Params, UpdateInPlaceReplaceOrEmpty) {
    DataBase *db = db_create(name_x, desc_x, 1);
    DataBaseInfo *dbi = db_new(db);
    DataBaseParam *p = db_param_new(dbi, 3, (void *)"abc");
    char *buffer = p->p;
    EXPECT_EQ(db_param_update(p, 3, (void *)"xyz"), 1);
    EXPECT_EQ(p->p, buffer) << "same length: same buffer";
    EXPECT_STREQ(db_param_string(p), "xyz");
    EXPECT_EQ(db_param_update(p, 5, (void *)"hello"), 1);
    EXPECT_EQ(db_param_length(p), 5);
    EXPECT_STREQ(db_param_string(p), "hello");
    EXPECT_EQ(db_param_update(p, 0, nullptr), 1);
    EXPECT_EQ(p->p, nullptr);
    EXPECT_EQ(db_param_length(p), 0);
    EXPECT_EQ(db_param_update(p, -2, nullptr), 1);
    EXPECT_EQ(p->p, nullptr);
    EXPECT_EQ(db_param_length(p), -2);
    EXPECT_EQ(db_param_update(p, 2, (void *)"ok"), 1);
    EXPECT_STREQ(db_param_string(p), "ok");
    if (sizeof(long) > 4) {
        // A length beyond the 32-bit field is refused; the old value stays.
        const std::string out = stdout_of([&] { EXPECT_EQ(db_param_update(p, 1L << 32, nullptr), 0); });
        EXPECT_EQ(out, "[db_param_update] Error: (1) Unable to allocate memory!\n");
        EXPECT_STREQ(db_param_string(p), "ok");
        const std::string out2 = stdout_of([&] { EXPECT_EQ(db_param_new(dbi, 1L << 32, nullptr), nullptr); });
        EXPECT_EQ(out2, "[db_param_new] Error: (2) Unable to allocate memory!\n");
        EXPECT_EQ(db_num_params(dbi), 1);
    }
}

// Walks a list both ways and compares with the expected order.
template <class T>
void expect_links(T *head, T *tail, std::vector<T *> order) {
    std::vector<T *> forwards, backwards;
    for (T *x = head; x; x = x->next)
        forwards.push_back(x);
    for (T *x = tail; x; x = x->prev)
        backwards.insert(backwards.begin(), x);
    EXPECT_EQ(forwards, order);
    EXPECT_EQ(backwards, order);
}

TEST(Removal, RecordsAndParametersKeepTheOthersLinked) {
    DataBase *db = db_create(name_x, desc_x, 1);
    DataBaseInfo *only = add_record(db, {"a", "b"});
    EXPECT_EQ(db_remove(db, only), 1);
    EXPECT_EQ(db->dbinfo, nullptr);
    EXPECT_EQ(db->dbinfo_end, nullptr);
    EXPECT_EQ(db_records(db), 0);

    std::vector<DataBaseInfo *> r;
    for (int i = 0; i < 5; ++i)
        r.push_back(add_record(db, {std::to_string(i)}));
    db_remove(db, r[0]);
    expect_links(db->dbinfo, db->dbinfo_end, {r[1], r[2], r[3], r[4]});
    db_remove(db, r[2]);
    expect_links(db->dbinfo, db->dbinfo_end, {r[1], r[3], r[4]});
    db_remove(db, r[4]);
    expect_links(db->dbinfo, db->dbinfo_end, {r[1], r[3]});
    EXPECT_EQ(db_records(db), 2);

    DataBaseInfo *dbi = add_record(db, {"0", "1", "2", "3"});
    std::vector<DataBaseParam *> p;
    for (DataBaseParam *x = dbi->p_first; x; x = x->next)
        p.push_back(x);
    db_param_remove(dbi, p[0]);
    db_param_remove(dbi, p[2]);
    db_param_remove(dbi, p[3]);
    expect_links(dbi->p_first, dbi->p_last, {p[1]});
    EXPECT_EQ(db_num_params(dbi), 1);
    db_param_remove(dbi, p[1]);
    EXPECT_EQ(dbi->p_first, nullptr);
    EXPECT_EQ(dbi->p_last, nullptr);
}

TEST(Removal, WarnsWhenTheParameterCountWasWrong) {
    DataBase *db = db_create(name_x, desc_x, 1);
    DataBaseInfo *dbi = add_record(db, {"a"});
    dbi->num_params = 3;
    EXPECT_EQ(stdout_of([&] { EXPECT_EQ(db_remove(db, dbi), 1); }),
              "[db_remove] Warning: (1) num_params is not 0!\n");
    EXPECT_EQ(db_records(db), 0);
}

long resident_kib() {
    long kib = 0;
    std::string status = read_file("/proc/self/status");
    if (auto at = status.find("VmRSS:"); at != std::string::npos)
        kib = strtol(status.c_str() + at + 6, nullptr, 10);
    return kib;
}

TEST(Removal, RemovedStorageIsReused) {
    DataBase *db = db_create(name_x, desc_x, 1);
    add_record(db, {"warm", "up"});
    const long before = resident_kib();
    // 200,000 records of four values would take some 50 MB if nothing were reused.
    for (int i = 0; i < 200000; ++i) {
        DataBaseInfo *dbi = add_record(db, {"value one", "value two!", "3", "four four four"});
        DataBaseParam *last = dbi->p_last;
        db_param_update(last, 20, (void *)"twenty bytes exactly");
        db_param_remove(dbi, last);
        db_remove(db, dbi);
    }
    EXPECT_LT(resident_kib() - before, 4096);
    EXPECT_EQ(db_records(db), 1);
}

} // namespace
