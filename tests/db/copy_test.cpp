// Deep copies of databases and records.
#include <gtest/gtest.h>

#include <string>

#include "db_support.h"
#include "zndb.h"

using namespace dbtest;

namespace {

char name_x[] = "x";
char name_y[] = "y";
char desc_x[] = "desc";

TEST(Copy, WholeDatabaseInDistinctStorage) {
    DataBase *src = db_create(name_x, desc_x, 4);
    add_record(src, {"a", "", "1"});
    add_record(src, {});
    add_record(src, {std::string("b\0c", 3)});
    DataBase *copy = db_copy(src, name_y);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(_db_list_end->db, copy);
    EXPECT_STREQ(copy->table_name, "y");
    EXPECT_STREQ(db_name(copy), "desc");
    EXPECT_EQ(db_version(copy), 4);
    EXPECT_EQ(db_records(copy), 3);
    EXPECT_EQ(copy->flags, 0);
    EXPECT_EQ(copy->search_text, nullptr);
    for (DataBaseInfo *s = src->dbinfo, *c = copy->dbinfo; s || c; s = s->next, c = c->next) {
        ASSERT_TRUE(s && c);
        EXPECT_NE(s, c);
        EXPECT_EQ(values_of(s), values_of(c));
        EXPECT_EQ(db_num_params(s), db_num_params(c));
        if (s->p_first) {
            EXPECT_NE(s->p_first->p, c->p_first->p);
        }
    }
    EXPECT_EQ(db_param_length(copy->dbinfo->p_first->next), 0);
    db_param_update(copy->dbinfo->p_first, 1, (void *)"Z");
    EXPECT_STREQ(db_param_string(src->dbinfo->p_first), "a");

    // The walk leaves the source's cursors at their ends; the copy's is placed.
    EXPECT_EQ(db_next(src), nullptr);
    EXPECT_EQ(src->dbinfo->p_cur, src->dbinfo->p_last);
    EXPECT_EQ(db_next(copy), copy->dbinfo);
    db_close(src);
    EXPECT_EQ(db_records(copy), 3);
}

TEST(Copy, CopyKeepsTheHeaderCount) {
    DataBase *src = db_create(name_x, desc_x, 1);
    add_record(src, {"a"});
    src->dbname->records = 9;
    EXPECT_EQ(db_records(db_copy(src, name_y)), 9);
    EXPECT_EQ(db_copy(nullptr, name_y), nullptr);
}

TEST(Copy, OneRecordIntoAnotherOrTheSameDatabase) {
    DataBase *src = db_create(name_x, desc_x, 1);
    DataBaseInfo *record = add_record(src, {"p", "q"});
    DataBase *target = db_create(name_y, desc_x, 1);
    DataBaseInfo *copied = db_copy_dbi(record, target);
    ASSERT_NE(copied, nullptr);
    EXPECT_EQ(db_records(target), 1);
    EXPECT_EQ(db_next(target), copied);
    EXPECT_EQ(values_of(copied), (std::vector<std::string>{"p", "q"}));
    EXPECT_EQ(record->p_cur, record->p_last);

    DataBaseInfo *duplicate = db_copy_dbi(record, src);
    EXPECT_EQ(src->dbinfo_end, duplicate);
    EXPECT_EQ(db_records(src), 2);
    EXPECT_EQ(values_of(duplicate), values_of(record));
    EXPECT_EQ(db_copy_dbi(record, nullptr), nullptr);
}

} // namespace
