// zn/db.hpp: the database owner, record and parameter ranges, search, sort and copy.
#include <gtest/gtest.h>

#include <iterator>
#include <ranges>
#include <string>
#include <vector>

#include "db_support.h"
#include "fruit.h"
#include "zn/db.hpp"

using dbtest::TempDir;
using zntest::fruit;
using zntest::names;

namespace {

static_assert(std::ranges::bidirectional_range<zn::record_range> && std::ranges::view<zn::record_range>);
static_assert(std::ranges::bidirectional_range<zn::param_range> && std::ranges::view<zn::param_range>);
static_assert(std::ranges::input_range<zn::search>);
static_assert(!std::is_copy_constructible_v<zn::database> && std::is_nothrow_move_constructible_v<zn::database>);

TEST(CppDatabase, RangesWalkTheCursorsOrderWithoutMovingThem) {
    zn::database db = fruit();
    db_start(db.get());
    DataBaseInfo *second = db_next(db.get());
    second = db_next(db.get());
    const char first_access = db.get()->first_access;

    std::vector<DataBaseInfo *> forwards, backwards, by_cursor;
    for (zn::record rec : db.records())
        forwards.push_back(rec.get());
    // Backwards by hand: clang 14 cannot build libstdc++ 12's views::reverse
    // of any range.
    const auto records = db.records();
    for (auto it = records.end(); it != records.begin();)
        backwards.push_back((*--it).get());
    EXPECT_EQ(db.get()->dbcur, second);
    EXPECT_EQ(db.get()->first_access, first_access);

    db_start(db.get());
    while (DataBaseInfo *dbi = db_next(db.get()))
        by_cursor.push_back(dbi);
    EXPECT_EQ(forwards, by_cursor);
    std::reverse(by_cursor.begin(), by_cursor.end());
    EXPECT_EQ(backwards, by_cursor);
    EXPECT_EQ(names(db.records()), "pear Apple banana apple ");
    EXPECT_EQ(std::ranges::distance(db.records()), db.size());
}

TEST(CppDatabase, ParametersAreValuesInListOrder) {
    zn::database db = zn::database::create("params", "", 1);
    zn::record rec = db.add();
    DataBaseParam *none = db_param_new(rec.get(), 0, nullptr);
    ASSERT_TRUE(none && rec.add(std::string_view("with\0nul", 8)) && rec.add("last"));
    db_param_start(rec.get());
    DataBaseParam *cursor = db_param_next(rec.get());

    std::vector<std::string> values;
    for (std::string_view v : rec.params())
        values.push_back(std::string(v));
    EXPECT_EQ(values, (std::vector<std::string>{"", std::string("with\0nul", 8), "last"}));
    EXPECT_EQ(std::string(*std::ranges::prev(rec.params().end())), "last");
    EXPECT_EQ(rec.params().begin().node(), none);
    EXPECT_EQ(rec.get()->p_cur, cursor);
    EXPECT_EQ(rec.size(), 3);
    EXPECT_EQ(rec[3], "last");
    EXPECT_EQ(rec[0], "");  // positions of 1 or less name the first
    EXPECT_EQ(rec[4], "");  // missing
    EXPECT_TRUE(zn::record().params().empty());
    EXPECT_EQ(zn::record()[1], "");
}

TEST(CppDatabase, OwnerClosesReleasesAndMoves) {
    {
        zn::database db = zn::database::create("owned", "", 1);
        ASSERT_TRUE(db && db_find_dbase(dbtest::str("owned")) == db.get());
        zn::database moved = std::move(db);
        EXPECT_FALSE(db);
        db.reset(); // moved from: closes nothing
        EXPECT_EQ(db_find_dbase(dbtest::str("owned")), moved.get());
        moved = zn::database::create("replacement", "", 1);
        EXPECT_EQ(db_find_dbase(dbtest::str("owned")), nullptr);
    }
    EXPECT_EQ(_db_list, nullptr);

    DataBase *kept = zn::database::create("kept", "", 1).release();
    EXPECT_EQ(db_find_dbase(dbtest::str("kept")), kept);
    zn::database adopted(kept);
    EXPECT_EQ(adopted.name(), "kept");
    adopted = zn::database();
    EXPECT_EQ(_db_list, nullptr);

    zn::database empty;
    EXPECT_TRUE(empty.records().empty());
    EXPECT_EQ(empty.size(), -1);
    EXPECT_FALSE(empty.add() || empty.find(1, "x") || empty.search(1, "x").next() || empty.copy("c"));
    EXPECT_EQ(empty.sort(1), 0);
    EXPECT_EQ(empty.save(), zn::save_result::failed);
}

TEST(CppDatabase, SaveAndOpenWithFailuresVisible) {
    TempDir dir;
    ASSERT_TRUE(db_set_data_path(dbtest::str(dir.path())));
    {
        zn::database db = fruit();
        EXPECT_EQ(db.save(), zn::save_result::saved);
    }
    zn::database db = zn::database::open("fruit", DB_LOCK);
    ASSERT_TRUE(db);
    EXPECT_EQ(db.name(), "fruit");
    EXPECT_EQ(db.description(), "Fruit and colours");
    EXPECT_EQ(db.version(), 3);
    EXPECT_EQ(names(db.records()), "pear Apple banana apple ");

    db_set_verbose(1);
    zn::database missing;
    const std::string said = dbtest::stdout_of([&] { missing = zn::database::open("nothing"); });
    EXPECT_FALSE(missing);
    EXPECT_EQ(said, "[db_open] Error: Could not open " + dir.path() + "/nothing.db for read\n");

    // Held by the first one's lock file.
    zn::database again;
    const std::string locked = dbtest::stdout_of([&] { again = zn::database::open("fruit", DB_LOCK); });
    EXPECT_FALSE(again);
    EXPECT_EQ(locked, "[db_open] Error: " + dir.path() + "/fruit.db is locked\n");
    zn::database other = zn::database::create("fruit", "", 1);
    other.get()->flags = DB_SAVE_LOCK;
    EXPECT_EQ(other.save(), zn::save_result::locked);
}

TEST(CppDatabase, FindSearchSortAndCopy) {
    zn::database db = fruit();
    EXPECT_EQ(db.find(1, "apple").get(), db_recall(db.get(), 4));
    EXPECT_EQ(db.find(1, "APPLE", zn::case_mode::ignore).get(), db_recall(db.get(), 2));
    EXPECT_FALSE(db.find(1, "app"));

    std::string found;
    zn::search green = db.search(2, "GREEN", zn::case_mode::ignore);
    EXPECT_EQ(green.matches_left(), 2);
    for (zn::record rec : green)
        found += std::string(rec[1]) + " ";
    EXPECT_EQ(found, "pear apple ");
    EXPECT_EQ(green.matches_left(), 0);

    EXPECT_EQ(db.sort({2, 1}), 3); // by colour, then name
    EXPECT_EQ(names(db.records()), "apple pear Apple banana ");
    EXPECT_EQ(db.sort(1, zn::order::descending, zn::case_mode::ignore), 3);
    EXPECT_EQ(names(db.records()), "pear banana apple Apple ");

    zn::database copy = db.copy(std::string("fruit copy"));
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy.name(), "fruit copy");
    EXPECT_EQ(names(copy.records()), names(db.records()));
    EXPECT_NE(copy.records().begin().node(), db.records().begin().node());
    EXPECT_TRUE(db.remove(*db.records().begin()));
    EXPECT_EQ(names(db.records()), "banana apple Apple ");
    EXPECT_EQ(copy.size(), 4);
}

} // namespace
