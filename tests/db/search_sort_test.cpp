// Finding, searching and sorting by parameter text, with the examples users rely on.
#include <gtest/gtest.h>

#include <cctype>
#include <climits>
#include <random>
#include <string>

#include "db_support.h"
#include "zndb.h"

using namespace dbtest;

namespace {

char name_x[] = "x";
char desc_x[] = "desc";

DataBase *fruit() {
    DataBase *db = db_create(name_x, desc_x, 1);
    add_record(db, {"Apple", "red"});
    add_record(db, {"banana"});
    add_record(db, {"grape", "green", ""});
    return db;
}

TEST(Find, WholeTextsWithAndWithoutCase) {
    DataBase *db = fruit();
    EXPECT_EQ(db_find(db, 1, str("APPLE"), 2), db->dbinfo);
    EXPECT_EQ(db_find(db, 1, str("APPLE"), 0), nullptr);
    EXPECT_EQ(db_find(db, 1, str("app"), 2), nullptr);
    EXPECT_EQ(db_find(db, 1, str("grape"), 1), db->dbinfo_end);
    // Fewer than three parameters, or an empty third: the default null string.
    EXPECT_EQ(db_find(db, 3, str("(null)"), 0), db->dbinfo);
    db_remove(db, db->dbinfo);
    db_remove(db, db->dbinfo);
    EXPECT_EQ(db_find(db, 3, str("(null)"), 0), db->dbinfo) << "an empty third parameter";
}

TEST(Search, SubstringsAndMatchesLeft) {
    DataBase *db = fruit();
    DataBaseInfo *apple = db->dbinfo, *grape = db->dbinfo_end;
    EXPECT_EQ(db_search_next(db), nullptr) << "never set";
    EXPECT_EQ(db_search_matches_left(db), 0);

    ASSERT_EQ(db_search_set(db, 0, 1, str("ap")), 1);
    EXPECT_EQ(db_search_matches_left(db), 1);
    ASSERT_EQ(db_search_set(db, 2, 1, str("ap")), 1);
    EXPECT_STREQ(db->search_text, "ap");
    EXPECT_EQ(db_search_matches_left(db), 2);
    EXPECT_EQ(db_search_next(db), apple);
    EXPECT_EQ(db_search_matches_left(db), 2);
    EXPECT_EQ(db_search_next(db), grape);
    EXPECT_EQ(db_search_matches_left(db), 1);
    EXPECT_EQ(db_search_next(db), nullptr);
    EXPECT_EQ(db_search_matches_left(db), 0);
    EXPECT_EQ(db_search_next(db), nullptr);

    db_search_set(db, 2, 1, str("AP"));
    EXPECT_STREQ(db->search_text, "ap") << "the text is kept lower-cased";
    EXPECT_EQ(db_search_next(db), apple);
}

TEST(Search, MissingParametersMatchAsTheNullString) {
    DataBase *db = fruit();
    DataBaseInfo *apple = db->dbinfo, *banana = apple->next, *grape = banana->next;
    db_search_set(db, 0, 3, str("null"));
    EXPECT_EQ(db_search_matches_left(db), 0) << "records without a value are not counted";
    EXPECT_EQ(db_search_next(db), apple);
    EXPECT_EQ(db_search_next(db), banana);
    EXPECT_EQ(db_search_next(db), grape);
    EXPECT_EQ(db_search_next(db), nullptr);

    db_search_set(db, 0, 2, str(""));
    EXPECT_EQ(db_search_matches_left(db), 2) << "the records whose parameter has a value";
    EXPECT_EQ(db_search_next(db), apple);
    EXPECT_EQ(db_search_next(db), banana);
    EXPECT_EQ(db_search_next(db), grape);
    EXPECT_EQ(db_search_next(db), nullptr);

    DataBase *empty = db_create(name_x, desc_x, 1);
    EXPECT_EQ(db_search_set(empty, 0, 1, str("")), 1);
    EXPECT_EQ(db_search_next(empty), nullptr);
    EXPECT_EQ(db_search_set(nullptr, 0, 1, str("")), 0);
}

TEST(GetLow, LowerCasesACopy) {
    char mixed[] = "MiXeD 123 \xc4";
    char *low = db_get_low(mixed);
    EXPECT_STREQ(low, "mixed 123 \xc4");
    EXPECT_NE(low, mixed);
    free(low);
}

DataBase *values(std::initializer_list<std::string> firsts) {
    DataBase *db = db_create(name_x, desc_x, 1);
    for (const std::string &v : firsts)
        add_record(db, {v});
    return db;
}

TEST(Sort, ExamplesOfDirectionAndCase) {
    DataBase *db = values({"b", "a", "c"});
    EXPECT_EQ(db_sort_by_param(db, 1, 0, 0, 1, 0), 1);
    EXPECT_EQ(walk_first_params(db), "a,b,c");
    std::string backwards;
    db_end(db);
    while (DataBaseInfo *dbi = db_prev(db))
        backwards += db_param_string(dbi->p_first);
    EXPECT_EQ(backwards, "cba");
    EXPECT_STREQ(db_param_string(db->dbinfo->p_first), "a");
    EXPECT_STREQ(db_param_string(db->dbinfo_end->p_first), "c");
    EXPECT_EQ(db->dbinfo->prev, nullptr);
    EXPECT_EQ(db->dbinfo_end->next, nullptr);

    EXPECT_EQ(db_sort_by_param(values({"b", "a", "c"}), 1, 0, 0, 2, 0), 2);
    EXPECT_EQ(walk_first_params(_db_list_end->db), "c,b,a");

    DataBase *cased = values({"b", "B", "a"});
    DataBaseInfo *lower_b = cased->dbinfo;
    EXPECT_EQ(db_sort_by_param(cased, 1, 0, 0, 1, 0), 2);
    EXPECT_EQ(walk_first_params(cased), "B,a,b");
    DataBase *folded = values({"b", "B", "a"});
    db_sort_by_param(folded, 1, 0, 0, 1, 2);
    EXPECT_EQ(walk_first_params(folded), "a,b,B");
    EXPECT_EQ(folded->dbinfo->next, folded->dbinfo_end->prev);
    EXPECT_NE(lower_b, nullptr);

    DataBase *numbers = values({"10", "9", "100"});
    db_sort_by_param(numbers, 1, 0, 0, 1, 0);
    EXPECT_EQ(walk_first_params(numbers), "10,100,9");
}

TEST(Sort, NothingToDo) {
    for (int dir : {0, 3, -1}) {
        DataBase *db = values({"b", "a", "c"});
        EXPECT_EQ(db_sort_by_param(db, 1, 0, 0, dir, 0), 0);
        EXPECT_EQ(walk_first_params(db), "b,a,c");
    }
    EXPECT_EQ(db_sort_by_param(values({}), 1, 0, 0, 1, 0), 0);
    EXPECT_EQ(db_sort_by_param(values({"z"}), 1, 0, 0, 1, 0), 0);
    EXPECT_EQ(db_sort_by_param(nullptr, 1, 0, 0, 1, 0), 0);
}

TEST(Sort, CursorSearchAndCountStayWithTheirRecords) {
    DataBase *db = values({"c", "b", "a"});
    DataBaseInfo *c = db->dbinfo;
    db_start(db);
    db_next(db);
    db_search_set(db, 0, 1, str(""));
    db_search_next(db); // c
    db_sort_by_param(db, 1, 0, 0, 1, 0);
    EXPECT_EQ(db->dbcur, c);
    EXPECT_EQ(db_next(db), nullptr) << "c is last now";
    EXPECT_EQ(db_search_next(db), nullptr) << "the search goes on after c";
    EXPECT_EQ(db_records(db), 3);
}

TEST(Sort, KeysOfSeveralParametersAndEqualKeysKeepTheirOrder) {
    DataBase *db = db_create(name_x, desc_x, 1);
    DataBaseInfo *first = add_record(db, {"x", "y", "1"});
    add_record(db, {"x y"});        // key "x y (null)": after "x y" with param 3 left out
    DataBaseInfo *second = add_record(db, {"x", "y", "2"});
    add_record(db, {"a"});
    EXPECT_EQ(db_sort_by_param(db, 1, 2, 0, 1, 0), 4);
    EXPECT_STREQ(db_param_string(db->dbinfo->p_first), "a");
    EXPECT_EQ(db->dbinfo->next, first);
    EXPECT_EQ(first->next, second) << "equal keys \"x y\" keep their order";
    EXPECT_STREQ(db_param_string(db->dbinfo_end->p_first), "x y");
}

TEST(Sort, KeysAreCutTo119Characters) {
    const std::string common(119, 'k');
    DataBase *db = values({common + "z", common + "a"});
    EXPECT_EQ(db_sort_by_param(db, 1, 0, 0, 1, 0), 0) << "equal within 119 characters";
    EXPECT_EQ(walk_first_params(db), common + "z," + common + "a");
    DataBase *shorter = values({common.substr(1) + "z", common.substr(1) + "a"});
    EXPECT_EQ(db_sort_by_param(shorter, 1, 0, 0, 1, 0), 1);
}

TEST(Sort, ParametersOfARecord) {
    DataBase *db = db_create(name_x, desc_x, 1);
    DataBaseInfo *dbi = add_record(db, {"c", "a", "", "b"});
    DataBaseParam *c = dbi->p_first;
    db_param_start(dbi);
    db_param_next(dbi);
    EXPECT_EQ(db_sort_params(dbi, 1, 0), 4);
    EXPECT_EQ(values_of(dbi), (std::vector<std::string>{"", "a", "b", "c"})) << "(null) sorts first";
    EXPECT_EQ(dbi->p_cur, c);
    EXPECT_EQ(dbi->p_last, c);
    EXPECT_EQ(dbi->p_first->prev, nullptr);
    EXPECT_EQ(db_sort_params(dbi, 2, 2), 6);
    EXPECT_EQ(values_of(dbi), (std::vector<std::string>{"c", "b", "a", ""}));
}

TEST(Sort, ExchangeCountSaturatesAtIntMax) {
    // n keys in falling order are n(n-1)/2 pairs out of order.
    auto descending = [](int n) {
        DataBase *db = db_create(name_x, desc_x, 1);
        char key[16];
        for (int i = n; i > 0; --i) {
            snprintf(key, sizeof key, "%08d", i);
            DataBaseInfo *dbi = db_new(db);
            db_param_new(dbi, 8, key);
        }
        return db;
    };
    EXPECT_EQ(db_sort_by_param(descending(65536), 1, 0, 0, 1, 0), 2147450880);
    EXPECT_EQ(db_sort_by_param(descending(70000), 1, 0, 0, 1, 0), INT_MAX);
    EXPECT_STREQ(db_param_string(_db_list_end->db->dbinfo->p_first), "00000001");
}

// The exchange of neighbours out of order, exactly as a user would write it.
struct Reference {
    std::vector<std::pair<std::string, DataBaseInfo *>> items;
    long exchanges = 0;

    void sort(int dir) {
        bool changed = true;
        while (changed) {
            changed = false;
            for (size_t i = 0; i + 1 < items.size(); ++i) {
                const int c = strcmp(items[i].first.c_str(), items[i + 1].first.c_str());
                if ((dir == 1 && c > 0) || (dir == 2 && c < 0)) {
                    std::swap(items[i], items[i + 1]);
                    ++exchanges;
                    changed = true;
                }
            }
        }
    }
};

std::string text(DataBaseInfo *dbi, int n) { return db_param_string(db_param_recall(dbi, n)); }

TEST(Sort, PropertyEqualsExchangeSortOnRandomRecords) {
    std::mt19937 random(20240601);
    const char alphabet[] = "aAbB c";
    for (int round = 0; round < 8; ++round) {
        const int dir = 1 + round % 2, case_mode = (round / 2) % 2 ? 2 : 0;
        const bool two_params = round >= 4;
        DataBase *db = db_create(name_x, desc_x, 1);
        Reference reference;
        for (int i = 0; i < 2500; ++i) {
            DataBaseInfo *dbi = db_new(db);
            const int params = static_cast<int>(random() % 3);
            for (int p = 0; p < params; ++p) {
                std::string v(random() % 4, ' ');
                for (char &ch : v)
                    ch = alphabet[random() % 6];
                db_param_new(dbi, static_cast<long>(v.size()), str(v));
            }
            std::string key = text(dbi, 1);
            if (two_params)
                key += " " + text(dbi, 2);
            if (case_mode == 2)
                for (char &ch : key)
                    ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
            reference.items.emplace_back(key, dbi);
        }
        reference.sort(dir);
        const int result = db_sort_by_param(db, 1, two_params ? 2 : 0, 0, dir, case_mode);
        SCOPED_TRACE("round " + std::to_string(round));
        EXPECT_EQ(result, reference.exchanges);
        std::vector<DataBaseInfo *> order, expected;
        for (DataBaseInfo *dbi = db->dbinfo; dbi; dbi = dbi->next)
            order.push_back(dbi);
        for (auto &item : reference.items)
            expected.push_back(item.second);
        EXPECT_EQ(order, expected);
        db_close(db);
    }
}

} // namespace
