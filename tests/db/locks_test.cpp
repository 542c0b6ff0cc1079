// Lock files: every flag combination of open and save, waiting, expiry, races, odd names.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "child.h"
#include "db_support.h"
#include "zndb.h"

using namespace dbtest;
using zntest::run_in_child;

namespace {

char name_x[] = "x";

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A directory with the data file x.db and a foreign lock file beside it.
struct LockedFile {
    TempDir dir;
    std::string data = dir / "x.db";
    std::string lock = dir / "x.db.locked";
    std::string bytes = Encoder().header("locked", 1, 1).record({"r"}).bytes();

    LockedFile() {
        write_file(data, bytes);
        write_file(lock, "Locked by PID 1\r\n");
        db_set_data_path(str(dir.path()));
    }

    // Removes the lock file after about one second, from another process.
    pid_t release_soon() {
        const pid_t pid = fork();
        if (pid == 0) {
            usleep(1000 * 1000);
            unlink(lock.c_str());
            _exit(0);
        }
        return pid;
    }
};

void reap(pid_t pid) {
    int status;
    waitpid(pid, &status, 0);
}

class OpenWithFlags : public testing::TestWithParam<int> {};

TEST_P(OpenWithFlags, ForeignLockFailsOrIsWaitedFor) {
    const int flags = GetParam();
    LockedFile file;
    if (!(flags & DB_BLOCK)) {
        const auto start = Clock::now();
        const std::string out = stdout_of([&] { EXPECT_EQ(db_open(name_x, flags), nullptr); });
        EXPECT_EQ(out, "[db_open] Error: " + file.data + " is locked\n");
        EXPECT_LT(seconds_since(start), 1.0) << "no waiting without DB_BLOCK";
        EXPECT_EQ(read_file(file.lock), "Locked by PID 1\r\n");
        return;
    }
    const pid_t releaser = file.release_soon();
    const auto start = Clock::now();
    DataBase *db = db_open(name_x, flags);
    reap(releaser);
    ASSERT_NE(db, nullptr);
    EXPECT_GE(seconds_since(start), 1.9) << "one wait of two seconds";
    EXPECT_EQ(db->flags, flags);
    if (flags & DB_LOCK) {
        EXPECT_EQ(read_file(file.lock), "Locked by PID " + std::to_string(getpid()) + "\r\n");
        db_close(db);
        EXPECT_FALSE(exists(file.lock));
    } else {
        EXPECT_FALSE(exists(file.lock));
        db_close(db);
    }
}

INSTANTIATE_TEST_SUITE_P(AllFlags, OpenWithFlags, testing::Range(0, 8));

class SaveWithFlags : public testing::TestWithParam<int> {};

TEST_P(SaveWithFlags, ForeignLockIsHonouredOnlyWithSaveLock) {
    const int flags = GetParam();
    LockedFile file;
    DataBase *db = db_create(name_x, str("new"), 2);
    db->flags = flags;
    const bool honours = (flags & DB_SAVE_LOCK) && !(flags & DB_LOCK);
    if (!honours) {
        EXPECT_EQ(db_save(db), 1);
        EXPECT_EQ(read_file(file.data), Encoder().header("new", 2, 0).bytes());
        EXPECT_EQ(read_file(file.lock), "Locked by PID 1\r\n") << "a foreign lock is left alone";
        return;
    }
    if (!(flags & DB_BLOCK)) {
        const std::string out = stdout_of([&] { EXPECT_EQ(db_save(db), -1); });
        EXPECT_EQ(out, "[db_save] Error: " + file.data + " is locked\n");
        EXPECT_EQ(read_file(file.data), file.bytes);
        return;
    }
    const pid_t releaser = file.release_soon();
    const auto start = Clock::now();
    EXPECT_EQ(db_save(db), 1);
    reap(releaser);
    EXPECT_GE(seconds_since(start), 1.9);
    EXPECT_EQ(read_file(file.data), Encoder().header("new", 2, 0).bytes());
    EXPECT_FALSE(exists(file.lock)) << "the temporary lock is gone after the save";
}

INSTANTIATE_TEST_SUITE_P(AllFlags, SaveWithFlags, testing::Range(0, 8));

TEST(Locks, WaitExpiresAtTheFifthLook) {
    LockedFile file;
    const auto start = Clock::now();
    const std::string out = stdout_of([&] { EXPECT_EQ(db_open(name_x, DB_BLOCK | DB_LOCK), nullptr); });
    const double waited = seconds_since(start);
    EXPECT_EQ(out, "[db_open] Error: " + file.data + " is locked, blocking expired\n");
    EXPECT_GE(waited, 7.9);
    EXPECT_LT(waited, 12.0);
    EXPECT_EQ(read_file(file.lock), "Locked by PID 1\r\n");
    EXPECT_EQ(_db_list, nullptr);
}

TEST(Locks, HeldFromOpenToCloseAndAcrossSaves) {
    TempDir dir;
    db_set_data_path(str(dir.path()));
    write_file(dir / "x.db", Encoder().header("d", 1, 0).bytes());
    DataBase *db = db_open(name_x, DB_LOCK);
    ASSERT_NE(db, nullptr);
    EXPECT_TRUE(exists(dir / "x.db.locked"));
    EXPECT_EQ(db_save(db), 1);
    EXPECT_EQ(db_save(db), 1);
    EXPECT_TRUE(exists(dir / "x.db.locked"));
    // The lock does not know its owner: this process is refused too.
    const std::string out = stdout_of([] { EXPECT_EQ(db_open(name_x, 0), nullptr); });
    EXPECT_EQ(out, "[db_open] Error: " + (dir / "x.db") + " is locked\n");
    db_close_all();
    EXPECT_FALSE(exists(dir / "x.db.locked"));
    DataBase *first = db_open(name_x, 0);
    DataBase *second = db_open(name_x, 0);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(db_find_dbase(name_x), first);
}

TEST(Locks, MissingDataFileLeavesNoLock) {
    TempDir dir;
    db_set_data_path(str(dir.path()));
    EXPECT_EQ(db_open(name_x, DB_LOCK), nullptr);
    EXPECT_TRUE(dir.entries().empty());
}

// Only a regular file is opened as a database: a FIFO would hold the whole
// process in open() or read(), a device would be read until memory runs
// out, and a directory would open as an empty database. Each is refused at
// once, and leaves no lock file. A lock file that is a FIFO is a lock, seen
// without waiting for a writer.
TEST(Locks, OpenRefusesWhatIsNotARegularFileAtOnce) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "fifo.db").c_str(), 0644), 0);
    ASSERT_EQ(symlink("/dev/zero", (dir / "zero.db").c_str()), 0);
    ASSERT_EQ(symlink("/dev/urandom", (dir / "random.db").c_str()), 0);
    ASSERT_EQ(mkdir((dir / "folder.db").c_str(), 0755), 0);
    write_file(dir / "x.db", Encoder().header("d", 1, 0).bytes());
    ASSERT_EQ(mkfifo((dir / "x.db.locked").c_str(), 0644), 0);
    auto child = run_in_child(
        [&] {
            db_set_data_path(str(dir.path()));
            for (const char *name : {"fifo", "zero", "random", "folder"}) {
                const std::string out = stdout_of([&] { REQUIRE(db_open(str(name), DB_LOCK) == nullptr); });
                REQUIRE(out == "[db_open] Error: Could not open " + (dir / name) + ".db for read\n");
            }
            const std::string out = stdout_of([&] { REQUIRE(db_open(name_x, 0) == nullptr); });
            REQUIRE(out == "[db_open] Error: " + (dir / "x.db") + " is locked\n");
            REQUIRE(_db_list == nullptr);
        },
        10);
    EXPECT_TRUE(child.returned()) << "status " << child.status << " " << child.errors;
    EXPECT_EQ(dir.entries(),
              (std::vector<std::string>{"fifo.db", "folder.db", "random.db", "x.db", "x.db.locked", "zero.db"}));
}

TEST(Locks, ShellCharactersInPathsRunNothing) {
    TempDir dir;
    db_set_data_path(str(dir.path()));
    const std::string name = "q\"; touch pwned; echo \"$(touch pwned2)`touch pwned3`";
    write_file(dir / (name + ".db"), Encoder().header("d", 1, 0).bytes());
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    DataBase *db = db_open(str(name), DB_LOCK);
    ASSERT_NE(db, nullptr);
    EXPECT_TRUE(exists(dir / (name + ".db.locked")));
    db_close(db);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{name + ".db"});
}

TEST(Locks, UncreatableLockLetsOpenAndSaveGoOn) {
    TempDir dir;
    chmod(dir.path().c_str(), 0755);
    write_file(dir / "x.db", Encoder().header("d", 1, 0).bytes());
    chmod((dir / "x.db").c_str(), 0666);
    chmod(dir.path().c_str(), 0555);
    auto child = run_in_child([&] {
        if (geteuid() == 0) { // root writes anywhere: act as an unprivileged user
            REQUIRE(setgid(65534) == 0);
            REQUIRE(setuid(65534) == 0);
        }
        db_set_data_path(str(dir.path()));
        DataBase *db = db_open(name_x, DB_LOCK | DB_SAVE_LOCK);
        REQUIRE(db != nullptr);
        REQUIRE(!exists(dir / "x.db.locked"));
        db->flags = DB_SAVE_LOCK; // no temporary lock either: the save goes on
        REQUIRE(db_save(db) == 1);
        db_close(db);
    });
    chmod(dir.path().c_str(), 0755);
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"x.db"});
}

TEST(Locks, TwoProcessesRacingGetOneLock) {
    TempDir dir;
    write_file(dir / "x.db", Encoder().header("d", 1, 0).bytes());
    for (int round = 0; round < 20; ++round) {
        int go[2], results[2];
        ASSERT_EQ(pipe(go), 0);
        ASSERT_EQ(pipe(results), 0);
        pid_t racers[2];
        for (pid_t &racer : racers) {
            racer = fork();
            if (racer == 0) {
                close(go[1]);
                db_set_verbose(0);
                db_set_data_path(str(dir.path()));
                char byte;
                if (read(go[0], &byte, 1) != 0)
                    _exit(3);
                const char got = db_open(name_x, DB_LOCK) ? 'Y' : 'n';
                if (write(results[1], &got, 1) != 1)
                    _exit(4);
                _exit(0); // leaves its lock behind, as a process that ends without closing
            }
        }
        close(go[0]);
        close(results[1]);
        close(go[1]); // both start at once
        std::string got;
        char c;
        while (read(results[0], &c, 1) == 1)
            got += c;
        close(results[0]);
        for (pid_t racer : racers)
            reap(racer);
        std::sort(got.begin(), got.end());
        ASSERT_EQ(got, "Yn") << "round " << round;
        unlink((dir / "x.db.locked").c_str());
    }
}

} // namespace
