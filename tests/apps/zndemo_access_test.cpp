// zndemo's console access end to end: its socket, what TCP users and other accounts may run, where remote saves may go.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "db_support.h"
#include "demo.h"

using apptest::Demo;
using apptest::Outcome;

namespace {

const std::string kDenied = "Permission denied\n";

struct stat lstat_of(const std::string &path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st;
}

// argv run to its end in a forked child that first becomes uid and gid
// 65534 and runs prepare; its standard output and status.
zntest::ChildResult as_nobody(const std::vector<std::string> &argv, const std::function<void()> &prepare = {}) {
    return zntest::run_in_child([&] {
        REQUIRE(setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0);
        if (prepare)
            prepare();
        dup2(zntest::report_fd(), STDOUT_FILENO);
        zntest::exec_argv(argv);
    });
}

TEST(ZndemoAccess, ItsSocketHasMode0600AndGoesAtShutdown) {
    Demo demo;
    ASSERT_TRUE(demo.ready()) << demo.errors();
    const struct stat st = lstat_of(demo.socket());
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_NE(demo.errors().find("zndemo: local console socket " + demo.socket() + ", mode 0600 (connect with: "
                                                                                   "znconsole -s " +
                                 demo.socket() + ")\n"),
              std::string::npos)
        << demo.errors();
    EXPECT_NE(demo.errors().find("zndemo: TCP consoles may only look: help, history, tasks, sockets, dblist, dbdump, "
                                 "stats, quit\n"),
              std::string::npos)
        << demo.errors();
    const Outcome sockets = demo.run({"sockets"});
    EXPECT_NE(sockets.out.find("   CLI Accept\n"), std::string::npos) << sockets.out;
    EXPECT_NE(sockets.out.find("   CLI Local Accept\n"), std::string::npos) << sockets.out;
    EXPECT_EQ(demo.run({"shutdown"}).out, "Please Wait, Shutting Down.....\n");
    EXPECT_EQ(demo.process().wait_exit(), 0);
    EXPECT_FALSE(dbtest::exists(demo.socket()));
}

TEST(ZndemoAccess, TcpUsersMayOnlyLookWhileTheSocketUserMayDoEverything) {
    Demo demo;
    ASSERT_TRUE(demo.ready()) << demo.errors();
    const Outcome tcp =
        demo.run_tcp({"shutdown", "note x", "cli-debug on", "dbsave sample " + demo.dir() + "/data", "dblist"});
    EXPECT_EQ(tcp.status, 0) << tcp.err;
    EXPECT_EQ(tcp.out.substr(0, 4 * kDenied.size() + 31), kDenied + kDenied + kDenied + kDenied +
                                                              "Databases currently in memory:\n");
    EXPECT_EQ(demo.run_tcp({"help"}).out,
              "Note: Use help [cmd] to get help on spcified command, or\n"
              "      use help -v to see description of all commands.\n\n"
              "dbdump          dblist          help            history         quit            \n"
              "sockets         stats           tasks           \n");
    EXPECT_EQ(demo.run({"note from the socket"}).out, "Note 3 added to \"sample\"\n");
    EXPECT_EQ(demo.run({"shutdown"}).out, "Please Wait, Shutting Down.....\n");
    EXPECT_EQ(demo.process().wait_exit(), 0);
}

TEST(ZndemoAccess, TcpAdminGivesTcpUsersEverything) {
    Demo demo({"--tcp-admin"});
    ASSERT_TRUE(demo.ready()) << demo.errors();
    EXPECT_NE(demo.errors().find("zndemo: TCP consoles may run every command (--tcp-admin)\n"), std::string::npos);
    EXPECT_EQ(demo.run_tcp({"note over tcp", "shutdown"}).out,
              "Note 3 added to \"sample\"\nPlease Wait, Shutting Down.....\n");
    EXPECT_EQ(demo.process().wait_exit(), 0);
}

TEST(ZndemoAccess, AnotherAccountCannotUseTheSocket) {
    Demo demo;
    ASSERT_TRUE(demo.ready()) << demo.errors();
    chmod(demo.dir().c_str(), 0755);
    chmod((demo.dir() + "/data").c_str(), 0755);
    const auto child = as_nobody({ZN_ZNCONSOLE, "-s", demo.socket(), "-c", "shutdown"});
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.status, 1);
    EXPECT_EQ(child.errors, "znconsole: cannot connect to socket " + demo.socket() + ": Permission denied\n");
    EXPECT_EQ(demo.run({"stats"}).status, 0) << "still running";
}

// A directory tree beside zndemo's data: a root-only file, links to it
// from inside the data directory, and a plain directory inside.
class RemoteFiles : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(demo.ready()) << demo.errors();
        secret = demo.dir() + "/secret";
        dbtest::write_file(secret, "root only\n");
        chmod(secret.c_str(), 0600);
        data = demo.dir() + "/data";
        for (const char *sub : {"/trap", "/dangle", "/plain"})
            mkdir((data + sub).c_str(), 0755);
        symlink(secret.c_str(), (data + "/trap/sample.db").c_str());
        symlink((demo.dir() + "/nowhere/sample.db").c_str(), (data + "/dangle/sample.db").c_str());
        symlink(demo.dir().c_str(), (data + "/up").c_str());
        mkdir((demo.dir() + "/outside").c_str(), 0755);
    }

    void expect_secret_untouched() {
        EXPECT_EQ(dbtest::read_file(secret), "root only\n");
        EXPECT_EQ(lstat_of(secret).st_mode & 07777, 0600u);
    }

    Demo demo{{"--tcp-admin"}};
    std::string secret, data;
};

TEST_F(RemoteFiles, SavesGoOnlyInsideTheDataDirectory) {
    const std::vector<std::string> refused = {
        "dbsave sample " + demo.dir() + "/outside", // outside
        "dbsave sample " + data + "/trap",           // its sample.db links outside
        "dbsave sample " + data + "/dangle",         // a link to where nothing is yet
        "dbsave sample " + data + "/up",             // a link out of the data directory
        "dbsave sample " + data + "/../outside",     // out by ".."
        "dbsave nosuch " + demo.dir() + "/outside",  // the path alone decides
        "dbsave sample outside",                     // relative to the daemon's directory
    };
    for (const auto &run : {&Demo::run, &Demo::run_tcp}) {
        const Outcome o = (demo.*run)(refused);
        EXPECT_EQ(o.status, 0) << o.err;
        std::string expected;
        for (size_t i = 0; i < refused.size(); ++i)
            expected += kDenied;
        EXPECT_EQ(o.out, expected);
    }
    expect_secret_untouched();
    EXPECT_FALSE(dbtest::exists(demo.dir() + "/outside/sample.db"));
    EXPECT_FALSE(dbtest::exists(demo.dir() + "/nowhere"));
    const Outcome inside = demo.run({"dbsave sample " + data + "/plain", "dbsave sample data/plain"});
    EXPECT_EQ(inside.out, "Database \"sample\" saved as " + data + "/plain/sample.db\n"
                          "Database \"sample\" saved as data/plain/sample.db\n");
}

TEST_F(RemoteFiles, OpensReadOnlyInsideTheDataDirectory) {
    dbtest::write_file(demo.dir() + "/outside/copy.db", dbtest::read_file(data + "/sample.db"));
    ASSERT_EQ(demo.run({"dbsave sample " + data + "/plain"}).status, 0);
    const Outcome o = demo.run_tcp({"dbopen " + demo.dir() + "/outside/copy", "dbopen " + data + "/trap/sample",
                                    "dbopen " + data + "/up/outside/copy.db", "dbopen " + data + "/plain/sample"});
    EXPECT_EQ(o.out, kDenied + kDenied + kDenied + "Database \"" + data + "/plain/sample\" opened\n");
}

TEST_F(RemoteFiles, AnUnprivilegedUserCannotMakeTheDaemonReplaceARootFile) {
    // Another account, given TCP access, prepares a directory of its own in
    // a place every account may write, with sample.db a link to the file.
    const std::string shared = demo.dir() + "/shared";
    mkdir(shared.c_str(), 0700);
    chmod(shared.c_str(), 01777);
    chmod(demo.dir().c_str(), 0755);
    const std::string evil = shared + "/evil";
    const auto child = as_nobody({ZN_ZNCONSOLE, "-c", "dbsave sample " + evil, "127.0.0.1",
                                  std::to_string(demo.port())},
                                 [&] {
                                     REQUIRE(mkdir(evil.c_str(), 0755) == 0);
                                     REQUIRE(symlink(secret.c_str(), (evil + "/sample.db").c_str()) == 0);
                                 });
    EXPECT_TRUE(child.exited && child.status == 0) << child.errors;
    EXPECT_EQ(child.output, kDenied);
    expect_secret_untouched();
}

TEST(ZndemoAccess, SomethingInTheWayOfTheSocketIsLeftAndTheStartRefused) {
    dbtest::TempDir dir;
    mkdir((dir / "data").c_str(), 0755);
    dbtest::write_file(dir / "data/zndemo.sock", "not a socket\n");
    const Outcome o = apptest::run_program({ZN_ZNDEMO, "--no-console", "--port", "0"}, "", dir.path());
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("zndemo: " + dir.path() + "/data/zndemo.sock is in the way: it is not a socket. zndemo "
                                                  "leaves it untouched; move it away\n"),
              std::string::npos)
        << o.err;
    EXPECT_EQ(dbtest::read_file(dir / "data/zndemo.sock"), "not a socket\n");
    EXPECT_FALSE(dbtest::exists(dir / "data/sample.db.locked")) << "the lock is released";
}

TEST(ZndemoAccess, TheSocketOfACrashedDaemonIsReplaced) {
    dbtest::TempDir dir;
    mkdir((dir / "data").c_str(), 0755);
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    (dir / "data/zndemo.sock").copy(addr.sun_path, sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    close(s);
    Demo demo({}, dir.path());
    ASSERT_TRUE(demo.ready()) << demo.errors();
    EXPECT_EQ(demo.run({"stats"}).status, 0);
}

TEST(ZndemoAccess, ZnconsoleInTheDaemonsDirectoryFindsItsSocket) {
    Demo demo;
    ASSERT_TRUE(demo.ready()) << demo.errors();
    unsetenv("ZN_CONSOLE_SOCKET");
    const Outcome o = apptest::run_program({ZN_ZNCONSOLE, "-v", "-c", "shutdown"}, "", demo.dir());
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "znconsole: connected to socket ./data/zndemo.sock\n");
    EXPECT_EQ(o.out, "Please Wait, Shutting Down.....\n");
    EXPECT_EQ(demo.process().wait_exit(), 0);
}

} // namespace
