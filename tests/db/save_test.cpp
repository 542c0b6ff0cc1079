// Saving never destroys the old data: atomic replacement, failures half-way, links, modes.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <string>

#include "child.h"
#include "db_support.h"
#include "zndb.h"

using namespace dbtest;
using zntest::run_in_child;

namespace {

char name_x[] = "x";
char desc_x[] = "desc";

// A database whose data file takes about size bytes.
DataBase *database_of_size(size_t size) {
    DataBase *db = db_create(name_x, desc_x, 1);
    const std::string value(1000, 'v');
    for (size_t written = 88; written < size; written += 1008)
        add_record(db, {value});
    return db;
}

TEST(Save, FailingHalfWayLeavesTheOldFile) {
    TempDir dir;
    const std::string old_bytes = Encoder().header("old", 1, 1).record({"kept"}).bytes();
    write_file(dir / "x.db", old_bytes);
    auto child = run_in_child([&] {
        signal(SIGXFSZ, SIG_IGN);
        db_set_data_path(str(dir.path()));
        DataBase *db = database_of_size(1 << 20);
        db->flags = DB_SAVE_LOCK;
        const rlimit limit{64 * 1024, 64 * 1024};
        REQUIRE(setrlimit(RLIMIT_FSIZE, &limit) == 0);
        const std::string out = stdout_of([&] { REQUIRE(db_save(db) == 0); });
        REQUIRE(out == "[db_save] Error: Couldn't write " + (dir / "x.db") + "\n");
    });
    ASSERT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(read_file(dir / "x.db"), old_bytes);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"x.db"}) << "temporary file and lock removed";
}

TEST(Save, NewFileKeepsModeAndLinksAreFollowed) {
    TempDir dir;
    db_set_data_path(str(dir.path()));
    mkdir((dir / "real").c_str(), 0755);
    write_file(dir / "real/target.db", "old");
    chmod((dir / "real/target.db").c_str(), 0640);
    symlink("real/target.db", (dir / "x.db").c_str());

    DataBase *db = db_create(name_x, desc_x, 5);
    ASSERT_EQ(db_save(db), 1);
    struct stat st;
    ASSERT_EQ(lstat((dir / "x.db").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays a link";
    ASSERT_EQ(stat((dir / "real/target.db").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(read_file(dir / "real/target.db"), Encoder().header("desc", 5, 0).bytes());
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"real", "x.db"}));

    // A link to a file that does not exist yet creates the file at the target.
    symlink("real/new.db", (dir / "fresh.db").c_str());
    DataBase *fresh = db_create(str("fresh"), desc_x, 6);
    ASSERT_EQ(db_save(fresh), 1);
    EXPECT_EQ(read_file(dir / "real/new.db"), Encoder().header("desc", 6, 0).bytes());
}

// Runs body in a child that may not write to dir (but may write to files in
// it that are writable by all): as root, by dropping to an unprivileged user.
void without_write_access(const TempDir &dir, const std::function<void()> &body) {
    chmod(dir.path().c_str(), 0555);
    auto child = run_in_child([&] {
        if (geteuid() == 0) {
            REQUIRE(setgid(65534) == 0);
            REQUIRE(setuid(65534) == 0);
        }
        body();
    });
    chmod(dir.path().c_str(), 0755);
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(Save, ReadOnlyDirectoryFallsBackToWritingInPlace) {
    TempDir dir;
    chmod(dir.path().c_str(), 0755);
    write_file(dir / "x.db", "old content");
    chmod((dir / "x.db").c_str(), 0666);
    write_file(dir / "y.db", "untouchable");
    chmod((dir / "y.db").c_str(), 0444);
    without_write_access(dir, [&] {
        db_set_data_path(str(dir.path()));
        REQUIRE(db_save(db_create(name_x, desc_x, 9)) == 1);
        DataBase *y = db_create(str("y"), desc_x, 9);
        const std::string out = stdout_of([&] { REQUIRE(db_save(y) == 0); });
        REQUIRE(out == "[db_save] Error: Couldn't open " + (dir / "y.db") + " for write\n");
    });
    EXPECT_EQ(read_file(dir / "x.db"), Encoder().header("desc", 9, 0).bytes());
    EXPECT_EQ(read_file(dir / "y.db"), "untouchable");
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"x.db", "y.db"}));
}

TEST(Save, CountersThatDisagreeWithTheListsAreWrittenWithWarnings) {
    TempDir dir;
    db_set_data_path(str(dir.path()));
    DataBase *db = db_create(name_x, desc_x, 1);
    DataBaseInfo *dbi = add_record(db, {"a"});
    dbi->num_params = 2;
    db->dbname->records = 5;
    const std::string out = stdout_of([&] { EXPECT_EQ(db_save(db), 1); });
    EXPECT_EQ(out,
              "[db_save] Warning: (1) Number Written doesn't match Database count [1/2]\n"
              "[db_save] Warning: (2) Number Written doesn't match Database count [1/5]\n");
    EXPECT_EQ(read_file(dir / "x.db"), Encoder().header("desc", 1, 5).word(2).word(1).raw("a").bytes());
    EXPECT_EQ(db_save(nullptr), 0);
}

} // namespace
