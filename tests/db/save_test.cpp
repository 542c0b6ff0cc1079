// Saving: atomic replacement only where it keeps what a save in place keeps, failures half-way,
// links, special files, modes and owners, signals, and what crashed savers left behind.
#include <gtest/gtest.h>

#include <grp.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <stddef.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <csignal>
#include <string>

#include "child.h"
#include "db_support.h"
#include "zndb.h"

using namespace dbtest;
using zntest::report;
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

// The user the tests save as when they run as root, and a group it is not in.
constexpr uid_t user_id = 65534;
constexpr gid_t user_group = 65534;
constexpr gid_t foreign_group = 0;

bool running_as_root() { return geteuid() == 0; }

// Runs body in a child as an unprivileged user: as root, it drops to uid and
// gid 65534 without supplementary groups; any other user runs it as itself.
void as_unprivileged(const std::function<void()> &body) {
    auto child = run_in_child([&] {
        if (running_as_root()) {
            REQUIRE(setgroups(0, nullptr) == 0);
            REQUIRE(setgid(user_group) == 0);
            REQUIRE(setuid(user_id) == 0);
        }
        body();
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

void give(const std::string &path, uid_t uid, gid_t gid, mode_t mode) {
    ASSERT_EQ(chown(path.c_str(), uid, gid), 0) << path;
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

struct stat stat_of(const std::string &path) {
    struct stat st{};
    stat(path.c_str(), &st);
    return st;
}

// Owner, group and mode as one comparable text.
std::string ownership(const std::string &path) {
    const struct stat st = stat_of(path);
    char text[64];
    snprintf(text, sizeof text, "%u:%u %04o", static_cast<unsigned>(st.st_uid),
             static_cast<unsigned>(st.st_gid), static_cast<unsigned>(st.st_mode & 07777));
    return text;
}

std::string saved_bytes(long version) { return Encoder().header("desc", static_cast<int32_t>(version), 0).bytes(); }

// db_save of a new database x (version 9) in dir; what it printed.
std::string save_x(const std::string &dir, int expected, const char *name = "x") {
    db_set_data_path(str(dir));
    DataBase *db = db_create(str(name), desc_x, 9);
    db->flags = DB_SAVE_LOCK;
    std::string out;
    out = stdout_of([&] { REQUIRE(db_save(db) == expected); });
    db_close(db);
    return out;
}

// What body prints on standard output (a few lines), through a pipe: a
// file-size limit does not apply to it.
std::string stdout_through_pipe(const std::function<void()> &body) {
    int out[2];
    if (pipe(out) != 0)
        abort();
    fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(out[1], STDOUT_FILENO);
    close(out[1]);
    body();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string text = zntest::read_all(out[0]);
    close(out[0]);
    return text;
}

// Under a file-size limit the save fails cleanly: no SIGXFSZ ends the
// process (also where the limit cuts the temporary lock's own text short),
// and neither the temporary file nor the lock is left behind.
TEST(Save, FailingHalfWayLeavesTheOldFile) {
    TempDir dir;
    const std::string old_bytes = Encoder().header("old", 1, 1).record({"kept"}).bytes();
    write_file(dir / "x.db", old_bytes);
    auto child = run_in_child([&] {
        signal(SIGXFSZ, SIG_DFL);
        db_set_data_path(str(dir.path()));
        DataBase *db = database_of_size(1 << 20);
        db->flags = DB_SAVE_LOCK;
        for (const rlim_t size : {rlim_t{64 * 1024}, rlim_t{0}}) {
            const rlimit limit{size, size};
            REQUIRE(setrlimit(RLIMIT_FSIZE, &limit) == 0);
            const std::string out = stdout_through_pipe([&] { REQUIRE(db_save(db) == 0); });
            REQUIRE(out == "[db_save] Error: Couldn't write " + (dir / "x.db") + "\n");
        }
        struct sigaction now;
        sigset_t pending;
        REQUIRE(sigaction(SIGXFSZ, nullptr, &now) == 0 && now.sa_handler == SIG_DFL);
        REQUIRE(sigpending(&pending) == 0 && !sigismember(&pending, SIGXFSZ));
    });
    ASSERT_TRUE(child.returned()) << "status " << child.status << " " << child.errors;
    EXPECT_EQ(read_file(dir / "x.db"), old_bytes);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"x.db"}) << "temporary file and lock removed";
}

// Installs a filter that makes every write() of more than 4096 bytes return
// 0 without writing; false where seccomp is not available (emulators).
bool make_large_writes_return_zero() {
#if defined(__x86_64__)
    constexpr __u32 arch = AUDIT_ARCH_X86_64;
#else
    constexpr __u32 arch = AUDIT_ARCH_I386;
#endif
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 0, 5),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_write, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])), // low word of the count
        BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, 4096, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | 0), // the call returns 0
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

TEST(Save, WriteThatReturnsZeroFailsInsteadOfLooping) {
    TempDir dir;
    write_file(dir / "x.db", "old");
    auto child = run_in_child([&] {
        db_set_data_path(str(dir.path()));
        DataBase *db = database_of_size(1 << 20);
        if (!make_large_writes_return_zero()) {
            report("no seccomp");
            return;
        }
        const std::string out = stdout_of([&] { REQUIRE(db_save(db) == 0); });
        REQUIRE(out == "[db_save] Error: Couldn't write " + (dir / "x.db") + "\n");
    });
    ASSERT_TRUE(child.returned()) << "status " << child.status << " " << child.errors;
    if (child.output == "no seccomp")
        GTEST_SKIP() << "seccomp filters are not available here";
    EXPECT_EQ(read_file(dir / "x.db"), "old");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"x.db"});
}

// ---- where only a save in place keeps the file what it was ----

TEST(SaveInPlace, HardLinksStayOneFile) {
    TempDir dir;
    write_file(dir / "x.db", "old");
    ASSERT_EQ(link((dir / "x.db").c_str(), (dir / "other.db").c_str()), 0);
    const ino_t inode = stat_of(dir / "x.db").st_ino;
    EXPECT_EQ(save_x(dir.path(), 1), "");
    EXPECT_EQ(read_file(dir / "other.db"), saved_bytes(9));
    EXPECT_EQ(stat_of(dir / "x.db").st_ino, inode);
    EXPECT_EQ(stat_of(dir / "x.db").st_nlink, 2u);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"other.db", "x.db"}));
}

TEST(SaveInPlace, FifoBehindALinkStaysAFifo) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0644), 0);
    ASSERT_EQ(symlink("pipe", (dir / "x.db").c_str()), 0);
    const int reader = open((dir / "pipe").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(save_x(dir.path(), 1), "");
    EXPECT_EQ(zntest::read_all(reader), saved_bytes(9));
    close(reader);
    EXPECT_TRUE(S_ISFIFO(stat_of(dir / "pipe").st_mode));
    struct stat st;
    ASSERT_EQ(lstat((dir / "x.db").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"pipe", "x.db"}));

    // Without a reader the save is refused at once instead of waiting for one.
    EXPECT_EQ(save_x(dir.path(), 0), "[db_save] Error: Couldn't open " + (dir / "x.db") + " for write\n");
    EXPECT_TRUE(S_ISFIFO(stat_of(dir / "pipe").st_mode));
}

// A failed save in place is reported, and the old content is gone: the file
// was truncated before the writing began. The process lives on past SIGXFSZ.
TEST(SaveInPlace, FailureIsReported) {
    TempDir dir;
    write_file(dir / "x.db", std::string(100000, 'o'));
    ASSERT_EQ(link((dir / "x.db").c_str(), (dir / "other.db").c_str()), 0);
    auto child = run_in_child([&] {
        db_set_data_path(str(dir.path()));
        DataBase *db = database_of_size(1 << 20);
        const rlimit limit{64 * 1024, 64 * 1024};
        REQUIRE(setrlimit(RLIMIT_FSIZE, &limit) == 0);
        const std::string out = stdout_of([&] { REQUIRE(db_save(db) == 0); });
        REQUIRE(out == "[db_save] Error: Couldn't write " + (dir / "x.db") + "\n");
    });
    ASSERT_TRUE(child.returned()) << "status " << child.status << " " << child.errors;
    EXPECT_EQ(stat_of(dir / "x.db").st_nlink, 2u);
    EXPECT_LE(read_file(dir / "other.db").size(), 64u * 1024);
    EXPECT_EQ(read_file(dir / "other.db").substr(0, 4), "desc");
}

// A rename refused because the target is a mount point (EBUSY): the finished
// content is copied into the file in place.
TEST(SaveInPlace, RenameRefusedFallsBackToWritingInPlace) {
    if (!running_as_root())
        GTEST_SKIP() << "needs a mount namespace";
    TempDir dir;
    write_file(dir / "x.db", "under the mount");
    write_file(dir / "mounted", "old");
    auto child = run_in_child([&] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount((dir / "mounted").c_str(), (dir / "x.db").c_str(), nullptr, MS_BIND, nullptr) != 0) {
            report("no mount");
            return;
        }
        REQUIRE(save_x(dir.path(), 1).empty());
    });
    ASSERT_TRUE(child.returned()) << child.errors;
    if (child.output == "no mount")
        GTEST_SKIP() << "cannot bind-mount here";
    EXPECT_EQ(read_file(dir / "mounted"), saved_bytes(9));
    EXPECT_EQ(read_file(dir / "x.db"), "under the mount");
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"mounted", "x.db"}));
}

// ---- as a user who is not root ----

TEST(SaveAsUser, ReadOnlyFileIsRefusedAndUntouched) {
    TempDir dir;
    write_file(dir / "x.db", "read only");
    if (running_as_root()) {
        give(dir.path(), user_id, user_group, 0755);
        give(dir / "x.db", user_id, user_group, 0444);
    }
    ASSERT_EQ(chmod((dir / "x.db").c_str(), 0444), 0);
    const std::string before = ownership(dir / "x.db");
    as_unprivileged([&] {
        REQUIRE(save_x(dir.path(), 0) == "[db_save] Error: Couldn't open " + (dir / "x.db") + " for write\n");
    });
    EXPECT_EQ(read_file(dir / "x.db"), "read only");
    EXPECT_EQ(ownership(dir / "x.db"), before);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"x.db"}) << "no temporary file, no lock";
}

TEST(SaveAsUser, OwnerGroupAndModeAreKept) {
    if (!running_as_root())
        GTEST_SKIP() << "needs files of other owners";
    TempDir dir;
    give(dir.path(), user_id, user_group, 0755);
    const struct {
        const char *name;
        uid_t uid;
        gid_t gid;
        mode_t mode;
    } files[] = {
        {"own", user_id, user_group, 0604},          // replaced atomically
        {"grouped", user_id, foreign_group, 0664},   // a group the user is not in
        {"foreign", 0, 0, 0666},                     // another owner
    };
    for (const auto &f : files) {
        write_file(dir / f.name + ".db", "old");
        give(dir / f.name + ".db", f.uid, f.gid, f.mode);
    }
    as_unprivileged([&] {
        for (const auto &f : files)
            REQUIRE(save_x(dir.path(), 1, f.name).empty());
    });
    for (const auto &f : files) {
        char expected[64];
        snprintf(expected, sizeof expected, "%u:%u %04o", static_cast<unsigned>(f.uid),
                 static_cast<unsigned>(f.gid), static_cast<unsigned>(f.mode));
        EXPECT_EQ(ownership(dir / f.name + ".db"), expected) << f.name;
        EXPECT_EQ(read_file(dir / f.name + ".db"), saved_bytes(9)) << f.name;
    }
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"foreign.db", "grouped.db", "own.db"}));
}

TEST(SaveAsUser, StickyDirectoryOfAnotherUser) {
    if (!running_as_root())
        GTEST_SKIP() << "needs a directory of another owner";
    TempDir dir;
    give(dir.path(), 0, 0, 01777);
    write_file(dir / "theirs.db", "theirs");
    give(dir / "theirs.db", 0, 0, 0666);
    write_file(dir / "mine.db", "mine");
    give(dir / "mine.db", user_id, user_group, 0644);
    as_unprivileged([&] {
        REQUIRE(save_x(dir.path(), 1, "theirs").empty());
        REQUIRE(save_x(dir.path(), 1, "mine").empty());
        REQUIRE(save_x(dir.path(), 1, "new").empty());
    });
    EXPECT_EQ(ownership(dir / "theirs.db"), "0:0 0666");
    EXPECT_EQ(ownership(dir / "mine.db"), "65534:65534 0644");
    EXPECT_EQ(stat_of(dir / "new.db").st_uid, user_id);
    for (const char *name : {"theirs.db", "mine.db", "new.db"})
        EXPECT_EQ(read_file(dir / name), saved_bytes(9)) << name;
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"mine.db", "new.db", "theirs.db"}));
}

// ---- what crashed savers left behind ----

// The id of a process that has ended.
pid_t ended_process() {
    const pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

TEST(Save, TemporaryFilesOfEndedSaversAreRemoved) {
    TempDir dir;
    const std::string gone = std::to_string(ended_process());
    const std::string alive = std::to_string(getppid());
    const std::vector<std::string> kept = {
        "x.db." + alive + ".0.saving",  // a saver that still runs
        "y.db." + gone + ".0.saving",   // another file's
        "x.db." + gone + ".saving",     // not of the form
        "x.db.0.0.saving",
        "x.db.-1.0.saving",
    };
    for (const std::string &name : kept)
        write_file(dir / name, "kept");
    write_file(dir / ("x.db." + gone + ".0.saving"), std::string(1000, 's'));
    write_file(dir / ("x.db." + gone + ".17.saving"), "");
    EXPECT_EQ(save_x(dir.path(), 1), "");
    std::vector<std::string> expected = kept;
    expected.push_back("x.db");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(dir.entries(), expected);
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

// Runs body as an unprivileged user who may not write to dir (but may write
// to files in it that are writable by all).
void without_write_access(const TempDir &dir, const std::function<void()> &body) {
    chmod(dir.path().c_str(), 0555);
    as_unprivileged(body);
    chmod(dir.path().c_str(), 0755);
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
