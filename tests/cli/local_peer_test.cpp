// The local socket end to end: a peer of another account, its credentials, and what the daemon's policy lets it run.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "child.h"
#include "db_support.h"
#include "remote.h"

using zntest::Client;
using zntest::Daemon;
using zntest::kPrompt;
using zntest::report;

namespace {

constexpr uid_t kNobody = 65534;

// The test daemon with its local socket (mode 0666) in a directory that
// every account may enter, the policy and the database commands.
class LocalPeer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(getuid(), 0u) << "the tests run as root, to connect as another account";
        chmod(dir.path().c_str(), 0755);
        ASSERT_TRUE(daemon.ready()) << daemon.errors();
    }
    std::string socket_path() const { return dir / "console.sock"; }

    dbtest::TempDir dir;
    Daemon daemon{{"--socket", dir / "console.sock", "--policy", "--db"}};
};

// In a forked child that has become uid and gid 65534: logs in over the
// local socket and runs body with the client.
zntest::ChildResult as_nobody(const std::string &path, const std::function<void(Client &)> &body) {
    return zntest::run_in_child([&] {
        REQUIRE(setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0);
        Client client(path);
        REQUIRE(client.connected());
        REQUIRE(client.login());
        body(client);
    });
}

TEST_F(LocalPeer, CredentialsOfAPeerThatChangedItsAccountBeforeConnecting) {
    const auto child = as_nobody(socket_path(), [](Client &client) {
        report(std::to_string(getpid()) + "|" + client.command("whoami"));
    });
    ASSERT_TRUE(child.returned()) << child.errors;
    const std::string pid = child.output.substr(0, child.output.find('|'));
    EXPECT_EQ(child.output.substr(pid.size() + 1),
              "\nuid=65534 gid=65534 pid=" + pid + " (Local User)\n" + kPrompt);
    Client tcp(daemon.port());
    ASSERT_TRUE(tcp.login());
    EXPECT_EQ(tcp.command("whoami"), "\nno credentials (Remote User)\n" + kPrompt);
}

TEST_F(LocalPeer, AnotherAccountMayLookButNotChange) {
    const std::string save_to = dir.path();
    const auto child = as_nobody(socket_path(), [&save_to](Client &client) {
        report(client.command("shutdown") + "|");
        report(client.command("dbsave sample " + save_to) + "|");
        report(client.command("cli-debug on") + "|");
        report(client.command("dblist").substr(0, 32) + "|");
        report(client.command("args a"));
    });
    ASSERT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\nPermission denied\n" + kPrompt + "|\nPermission denied\n" + kPrompt +
                                "|\nPermission denied\n" + kPrompt + "|\nDatabases currently in memory:\n|" +
                                "\nargc=2\n[args]\n[a]\n" + kPrompt);
    EXPECT_FALSE(dbtest::exists(dir / "sample.db"));
    // The daemon runs on, and its own account may do everything.
    Client root(socket_path());
    ASSERT_TRUE(root.login());
    EXPECT_EQ(root.command("dbsave sample " + save_to),
              "\nDatabase \"sample\" saved as " + save_to + "/sample.db\n" + kPrompt);
}

TEST_F(LocalPeer, HelpOffersAnotherAccountOnlyWhatItMayRun) {
    const auto child = as_nobody(socket_path(), [](Client &client) { report(client.command("help")); });
    ASSERT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output,
              "\nNote: Use help [cmd] to get help on spcified command, or\n"
              "      use help -v to see description of all commands.\n\n"
              "args            dbdump          dblist          help            history         \n"
              "quit            whoami          \n" +
                  kPrompt);
}

TEST_F(LocalPeer, LinesWithTheHandshakeOverTheSocket) {
    Client client(socket_path());
    ASSERT_TRUE(client.connected());
    client.send(zntest::kHandshake + "args one\nwhoami\n");
    EXPECT_EQ(client.read_until("(Local User)\n" + kPrompt),
              zntest::kAck + kPrompt + "\nargc=2\n[args]\n[one]\n" + kPrompt + "\nuid=0 gid=0 pid=" +
                  std::to_string(getpid()) + " (Local User)\n" + kPrompt);
}

TEST_F(LocalPeer, ShutdownOverTheSocketRemovesItsFile) {
    Client client(socket_path());
    ASSERT_TRUE(client.login());
    EXPECT_EQ(client.command("shutdown"), "\nPlease Wait, Shutting Down.....\n");
    EXPECT_EQ(daemon.wait_exit(), 0);
    EXPECT_FALSE(dbtest::exists(socket_path()));
}

} // namespace
