// Data files byte for byte: saving, opening, byte order, paths, truncated and damaged files.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "db_support.h"
#include "zndb.h"

using namespace dbtest;

namespace {

char name_x[] = "x";
char desc_x[] = "desc";

TEST(FileFormat, HeaderIsEightyEightBytes) {
    EXPECT_EQ(sizeof(DataBaseName), 88u);
    TempDir dir;
    db_set_data_path(str(dir.path()));
    DataBase *db = db_create(name_x, desc_x, 3);
    ASSERT_EQ(db_save(db), 1);
    EXPECT_EQ(read_file(dir / "x.db"), Encoder().header("desc", 3, 0).bytes());
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"x.db"}) << "no temporary file is left";
}

DataBase *example_database() {
    DataBase *db = db_create(name_x, desc_x, 0x01020304);
    DataBaseInfo *dbi = db_new(db);
    db_param_new(dbi, 2, (void *)"ab");
    db_param_new(dbi, 0, nullptr);
    db_new(db);
    return db;
}

TEST(FileFormat, RecordBlocksInHostOrder) {
    TempDir dir;
    db_set_data_path(str(dir.path()));
    ASSERT_EQ(db_save(example_database()), 1);
    const std::string bytes = read_file(dir / "x.db");
    EXPECT_EQ(bytes.size(), 106u);
    Encoder expected;
    expected.header("desc", 0x01020304, 2).word(2).word(2).raw("ab").word(0).word(0);
    EXPECT_EQ(bytes, expected.bytes());
    EXPECT_EQ(bytes.substr(88, 4), std::string("\x02\0\0\0", 4));
}

TEST(FileFormat, RecordBlocksByteSwapped) {
    TempDir dir;
    db_set_data_path(str(dir.path()));
    db_set_byte_swap(1);
    DataBase *db = example_database();
    ASSERT_EQ(db_save(db), 1);
    const std::string bytes = read_file(dir / "x.db");
    Encoder expected(true);
    expected.header("desc", 0x01020304, 2).word(2).word(2).raw("ab").word(0).word(0);
    EXPECT_EQ(bytes, expected.bytes());
    EXPECT_EQ(bytes.substr(80, 4), "\x01\x02\x03\x04");
    EXPECT_EQ(bytes.substr(88, 4), std::string("\0\0\0\x02", 4));
    EXPECT_EQ(db->dbname->version, 0x01020304) << "memory keeps host order";

    DataBase *back = db_open(name_x, 0);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(db_version(back), 0x01020304);
    EXPECT_EQ(db_records(back), 2);
    // Read with the other setting, the first count announces 0x02000000
    // parameters and the first length as many bytes, which the file lacks.
    db_set_byte_swap(0);
    const std::string out = stdout_of([] { EXPECT_EQ(db_open(name_x, 0), nullptr); });
    EXPECT_EQ(out, "[db_open] Error: (2) Unable to read in record\n");
}

TEST(FileFormat, RoundTripKeepsEverything) {
    TempDir dir;
    db_set_data_path(str(dir.path()));
    DataBase *db = db_create(name_x, desc_x, 42);
    const std::string binary("\0\x01\xff\0z", 5);
    DataBaseInfo *first = db_new(db);
    db_param_new(first, 5, (void *)binary.data());
    db_param_new(first, 0, nullptr);
    db_param_new(first, 3, (void *)"end");
    db_new(db);
    add_record(db, {"second", std::string(5000, 'L'), ""});
    ASSERT_EQ(db_save(db), 1);

    DataBase *back = db_open(name_x, 0);
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back->table_name, "x");
    EXPECT_STREQ(db_name(back), "desc");
    EXPECT_EQ(db_version(back), 42);
    EXPECT_EQ(db_records(back), 3);
    EXPECT_EQ(back->flags, 0);
    EXPECT_EQ(std::string(back->lock_file), dir / "x.db.locked");
    EXPECT_EQ(_db_list_end->db, back);
    ASSERT_NE(back->dbinfo, nullptr);
    EXPECT_EQ(values_of(back->dbinfo), (std::vector<std::string>{binary, "", "end"}));
    EXPECT_EQ(db_param_length(back->dbinfo->p_first->next), 0);
    EXPECT_EQ(values_of(back->dbinfo->next), std::vector<std::string>{});
    EXPECT_EQ(values_of(back->dbinfo_end),
              (std::vector<std::string>{"second", std::string(5000, 'L'), ""}));
    EXPECT_EQ(db_next(back), back->dbinfo) << "the cursor stands on the first record";

    DataBase *by_path = db_open(str(dir / "x.db"), 0);
    ASSERT_NE(by_path, nullptr);
    EXPECT_EQ(std::string(by_path->table_name), dir / "x.db");
    EXPECT_EQ(db_records(by_path), 3);
}

TEST(FileFormat, PathsOfOpenAndSave) {
    TempDir dir;
    db_set_data_path(str(dir.path()));
    write_file(dir / "x.db", Encoder().header("plain", 1, 0).bytes());
    write_file(dir / "my.dbase", Encoder().header("dbase", 2, 0).bytes());
    mkdir((dir / "abs").c_str(), 0755);
    write_file(dir / "abs/y.db", Encoder().header("abs", 3, 0).bytes());

    EXPECT_STREQ(db_name(db_open(str("x"), 0)), "plain");
    EXPECT_STREQ(db_name(db_open(str("x.db"), 0)), "plain");
    EXPECT_STREQ(db_name(db_open(str("my.dbase"), 0)), "dbase");
    EXPECT_STREQ(db_name(db_open(str("abs/y"), 0)), "abs");
    DataBase *absolute = db_open(str(dir / "abs/y"), 0);
    ASSERT_NE(absolute, nullptr);
    EXPECT_EQ(std::string(absolute->table_name), dir / "abs/y");

    // Saving takes the table name under the data path, even when it is a path.
    DataBase *opened = db_open(str("abs/y.db"), 0);
    mkdir((dir / "abs").c_str(), 0755);
    ASSERT_EQ(db_save(opened), 1);
    EXPECT_TRUE(exists(dir / "abs/y.db.db"));

    const std::string missing = stdout_of([] { EXPECT_EQ(db_open(str("nothing"), 0), nullptr); });
    EXPECT_EQ(missing, "[db_open] Error: Could not open " + (dir / "nothing.db") + " for read\n");
}

TEST(FileFormat, PathsThatDoNotFitAreRefused) {
    TempDir dir;
    db_set_data_path(str(dir.path()));
    // The data file path fits in 255 characters, its lock file path does not.
    const std::string name(255 - 3 - 1 - dir.path().size() - 2, 'n');
    std::string out = stdout_of([&] { EXPECT_EQ(db_open(str(name), 0), nullptr); });
    EXPECT_EQ(out, "[db_open] Error: Path too long for " + name + "\n");

    std::string path(200, 'p');
    db_set_data_path(str("/" + path));
    DataBase *db = db_create(str(std::string(70, 't')), desc_x, 1);
    out = stdout_of([&] { EXPECT_EQ(db_save(db), 0); });
    EXPECT_EQ(out, "[db_save] Error: Path too long for /" + path + "/" + std::string(70, 't') + ".db\n");
}

TEST(FileFormat, HeaderCountDecidesWhetherRecordsAreRead) {
    TempDir dir;
    db_set_data_path(str(dir.path()));
    write_file(dir / "zero.db", Encoder().header("z", 1, 0).record({"a"}).bytes());
    DataBase *zero = db_open(str("zero"), 0);
    ASSERT_NE(zero, nullptr);
    EXPECT_EQ(zero->dbinfo, nullptr);
    EXPECT_EQ(db_records(zero), 0);

    write_file(dir / "three.db", Encoder().header("t", 1, 3).record({"a"}).record({"b", "c"}).bytes());
    DataBase *three = db_open(str("three"), 0);
    ASSERT_NE(three, nullptr);
    EXPECT_EQ(walk_first_params(three), "a,b");
    EXPECT_EQ(db_records(three), 3);

    // A count word cut short at the end ends the records quietly.
    write_file(dir / "tail.db", Encoder().header("t", 1, 1).record({"a"}).raw("\x01\x00").bytes());
    DataBase *tail = db_open(str("tail"), 0);
    ASSERT_NE(tail, nullptr);
    EXPECT_EQ(walk_first_params(tail), "a");

    // Shorter than a header: the rest of it is zero.
    write_file(dir / "short.db", "ab");
    DataBase *shorter = db_open(str("short"), 0);
    ASSERT_NE(shorter, nullptr);
    EXPECT_STREQ(db_name(shorter), "ab");
    EXPECT_EQ(db_version(shorter), 0);
    write_file(dir / "empty.db", "");
    EXPECT_NE(db_open(str("empty"), DB_LOCK), nullptr);
}

struct Damaged {
    const char *what;
    std::string bytes;
    const char *message;
};

TEST(FileFormat, FilesEndingInsideARecordFailCleanly) {
    TempDir dir;
    db_set_data_path(str(dir.path()));
    const std::string head = Encoder().header("d", 1, 2).record({"fine"}).bytes();
    const Damaged cases[] = {
        {"no length word", head + Encoder().word(2).word(1).raw("a").bytes(),
         "[db_open] Error: (1) Unable to read in record\n"},
        {"half a length word", head + Encoder().word(1).bytes() + "\x03",
         "[db_open] Error: (1) Unable to read in record\n"},
        {"value cut short", head + Encoder().word(1).word(10).raw("abc").bytes(),
         "[db_open] Error: (2) Unable to read in record\n"},
        {"length far beyond the file", head + Encoder().word(1).word(INT32_MAX).raw("abc").bytes(),
         "[db_open] Error: (2) Unable to read in record\n"},
    };
    for (const Damaged &c : cases) {
        SCOPED_TRACE(c.what);
        write_file(dir / "bad.db", c.bytes);
        const std::string out = stdout_of([] { EXPECT_EQ(db_open(str("bad"), DB_LOCK), nullptr); });
        EXPECT_EQ(out, c.message);
        EXPECT_EQ(_db_list, nullptr);
        EXPECT_FALSE(exists(dir / "bad.db.locked"));
    }
}

TEST(FileFormat, DamagedFieldsAreReadSafely) {
    TempDir dir;
    db_set_data_path(str(dir.path()));
    // A description that fills its 80 bytes, and a negative length.
    Encoder file;
    file.raw(std::string(80, 'D')).word(1).word(1).word(2).word(-7).word(1).raw("v");
    write_file(dir / "odd.db", file.bytes());
    DataBase *db = db_open(str("odd"), 0);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(std::string(db_name(db)), std::string(79, 'D'));
    DataBaseInfo *dbi = db->dbinfo;
    ASSERT_NE(dbi, nullptr);
    EXPECT_EQ(db_num_params(dbi), 2);
    EXPECT_EQ(db_param_length(dbi->p_first), -7);
    EXPECT_EQ(dbi->p_first->p, nullptr);
    EXPECT_STREQ(db_param_string(dbi->p_last), "v");
}

TEST(ByteSwap, ReversesTheLowFourBytes) {
    EXPECT_EQ(db_byte_swap(1), 1L << 24);
    EXPECT_EQ(db_byte_swap(0x01020304), 0x04030201);
    EXPECT_EQ(db_byte_swap(0x80), INT32_MIN);
    EXPECT_EQ(db_byte_swap(-1), -1);
    for (long v : {0L, 1L, 255L, 0x12345678L, -2L, (long)INT32_MIN, (long)INT32_MAX, -123456789L})
        EXPECT_EQ(db_byte_swap(db_byte_swap(v)), v) << v;
}

} // namespace
