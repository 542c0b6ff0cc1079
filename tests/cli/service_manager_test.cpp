// The test daemon under a service manager played by the test: notifications, socket activation, environment.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "managed.h"
#include "manager.h"

using zntest::Client;
using zntest::FakeManager;
using zntest::inode_of;
using zntest::kListenVariables;
using zntest::leftover_variables;
using zntest::kNotifyVariables;
using zntest::Listener;
using zntest::nobody_listens;
using zntest::Strings;

namespace {

// The test daemon as a manager starts it, told to use port; it says
// "ready" once the console is set up.
class ManagedDaemon : public zntest::Managed {
public:
    ManagedDaemon(int port, const zntest::Environment &environment, const zntest::Passed &passed = {})
        : Managed({ZN_TEST_DAEMON, std::to_string(port)}, "ready\n", environment, passed) {}
};

TEST(SocketActivation, ConsoleServesThePassedSocketAndBindsNothing) {
    Listener passed;
    const int own_port = zntest::free_port();
    ManagedDaemon daemon(own_port, {}, {{passed.fd}});
    ASSERT_TRUE(daemon.ready()) << daemon.errors();

    Client client(passed.port);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.login());
    EXPECT_EQ(client.command("args one two"), "\nargc=3\n[args]\n[one]\n[two]\n" + zntest::kPrompt);
    const std::string sockets = client.command("sockets");
    EXPECT_NE(sockets.find("\n3        RWE     "), std::string::npos) << sockets;
    EXPECT_NE(sockets.find("CLI Accept\n"), std::string::npos) << sockets;
    EXPECT_TRUE(nobody_listens(own_port));
    EXPECT_EQ(leftover_variables(daemon, kListenVariables), Strings{});

    // A port is served, so "shutdown" is there.
    client.send("shutdown\n");
    EXPECT_EQ(daemon.wait_exit(), 0);
}

TEST(SocketActivation, DescriptorsItDoesNotServeAreLeftAlone) {
    int unused_pipe[2];
    ASSERT_EQ(pipe(unused_pipe), 0);
    const int datagram = socket(AF_INET, SOCK_DGRAM, 0);
    Listener passed;
    ManagedDaemon daemon(zntest::free_port(), {}, {{unused_pipe[0], datagram, passed.fd}});
    ASSERT_TRUE(daemon.ready()) << daemon.errors();

    EXPECT_EQ(daemon.descriptor(3), "pipe:[" + inode_of(unused_pipe[0]) + "]");
    EXPECT_EQ(daemon.descriptor(4), "socket:[" + inode_of(datagram) + "]");
    Client client(passed.port);
    ASSERT_TRUE(client.login());
    EXPECT_NE(client.command("sockets").find("\n5        RWE     "), std::string::npos);
    // The daemon's ends stay open: nothing it closed reaches the pipe.
    client.send("shutdown\n");
    EXPECT_EQ(daemon.wait_exit(), 0);
    close(unused_pipe[0]);
    close(unused_pipe[1]);
    close(datagram);
}

TEST(SocketActivation, VariablesForAnotherProcessAreRemovedAndIgnored) {
    Listener passed;
    const int own_port = zntest::free_port();
    ManagedDaemon daemon(own_port, {}, {{passed.fd}, "1"});
    ASSERT_TRUE(daemon.ready()) << daemon.errors();
    EXPECT_EQ(leftover_variables(daemon, kListenVariables), Strings{});
    EXPECT_EQ(daemon.descriptor(3), "socket:[" + inode_of(passed.fd) + "]");
    Client client(own_port);
    ASSERT_TRUE(client.login());
    EXPECT_EQ(client.command("args"), "\nargc=1\n[args]\n" + zntest::kPrompt);
}

// Readiness once the console is served, the watchdog in "tasks" and on the
// socket, stopping at "shutdown"; and none of the variables left behind.
TEST(Notifications, DaemonReportsToTheManager) {
    FakeManager manager(FakeManager::Naming::abstract);
    const int port = zntest::free_port();
    ManagedDaemon daemon(port, {{"NOTIFY_SOCKET", manager.address()}, {"WATCHDOG_USEC", "2000000"}});
    ASSERT_TRUE(daemon.ready()) << daemon.errors();
    const auto ready = manager.until("READY=1", 10000);
    ASSERT_EQ(zntest::texts(ready), Strings{"READY=1"});
    EXPECT_EQ(ready[0].sender, daemon.pid());
    EXPECT_EQ(leftover_variables(daemon, kNotifyVariables), Strings{});

    Client client(port);
    ASSERT_TRUE(client.login());
    const std::string tid = zntest::tid_in_listing(client.command("tasks"), "Service Watchdog");
    ASSERT_FALSE(tid.empty());
    const std::string detail = client.command("tasks " + tid);
    EXPECT_NE(detail.find("   Flags                : RESCHEDULE\n   Time Value           : 1s\n"), std::string::npos)
        << detail;
    const auto ping = manager.next(2500);
    ASSERT_TRUE(ping);
    EXPECT_EQ(ping->text, "WATCHDOG=1");
    EXPECT_EQ(ping->sender, daemon.pid());

    client.send("shutdown\n");
    EXPECT_EQ(daemon.wait_exit(), 0);
    const auto rest = manager.queued();
    ASSERT_FALSE(rest.empty());
    EXPECT_EQ(rest.back().text, "STOPPING=1");
}

} // namespace
