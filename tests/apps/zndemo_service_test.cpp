// zndemo under a service manager played by the test: status lines, readiness and stopping, a passed socket.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "db_support.h"
#include "demo.h"
#include "managed.h"
#include "manager.h"

using zntest::FakeManager;
using zntest::Strings;

namespace {

// zndemo as a service unit runs it: no console, its data in dir, remote
// consoles on port (unless the manager passes a socket).
class ManagedDemo : public zntest::Managed {
public:
    ManagedDemo(const dbtest::TempDir &dir, int port, const Strings &extra, const zntest::Environment &environment,
                const zntest::Passed &passed = {})
        : Managed(argv(dir, port, extra), "zndemo: ready", environment, passed) {}

private:
    static Strings argv(const dbtest::TempDir &dir, int port, const Strings &extra) {
        Strings args = {ZN_ZNDEMO, "--no-console", "--data", dir / "data", "--port", std::to_string(port)};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
};

// The next status line within timeout_ms, skipping other notifications;
// empty when none came.
std::string next_status(FakeManager &manager, int timeout_ms) {
    const auto deadline = zntest::Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (const auto n = manager.next(zntest::ms_left(deadline)))
        if (n->text.starts_with("STATUS="))
            return n->text;
    return "";
}

TEST(ZndemoUnderAManager, StatusFollowsEveryStatisticsSample) {
    FakeManager manager;
    dbtest::TempDir dir;
    const int port = zntest::free_port();
    ManagedDemo demo(dir, port, {"--status"}, {{"NOTIFY_SOCKET", manager.address()}});
    ASSERT_TRUE(demo.ready()) << demo.errors();
    EXPECT_EQ(zntest::texts(manager.until("READY=1", 5000)), (Strings{"STATUS=starting", "READY=1"}));
    // The first sample comes in the first pass, the next one 5 seconds later.
    const std::string first = next_status(manager, 2000);
    EXPECT_TRUE(first.starts_with("STATUS=console users: 0, sample records: 2, idle: ")) << first;
    EXPECT_TRUE(first.ends_with("%")) << first;
    EXPECT_EQ(apptest::console_commands({"-s", dir / "data/zndemo.sock"}, {"note one more"}).status, 0);
    const std::string second = next_status(manager, 7000);
    EXPECT_NE(second.find(", sample records: 3, "), std::string::npos) << second;

    demo.signal(SIGTERM);
    EXPECT_EQ(demo.wait_exit(), 0);
    EXPECT_EQ(zntest::texts(manager.queued()), Strings{"STOPPING=1"});
}

TEST(ZndemoUnderAManager, NoStatusWithoutTheOption) {
    FakeManager manager;
    dbtest::TempDir dir;
    const int port = zntest::free_port();
    ManagedDemo demo(dir, port, {}, {{"NOTIFY_SOCKET", manager.address()}});
    ASSERT_TRUE(demo.ready()) << demo.errors();
    EXPECT_EQ(zntest::texts(manager.until("READY=1", 5000)), Strings{"READY=1"});
    EXPECT_EQ(apptest::console_commands({"127.0.0.1", std::to_string(port)}, {"stats"}).status, 0); // the first sample is taken by now
    EXPECT_EQ(zntest::texts(manager.queued()), Strings{});
}

TEST(ZndemoUnderAManager, StatusWithoutAManagerIsAWarningOnly) {
    unsetenv("NOTIFY_SOCKET");
    apptest::Demo demo({"--status"});
    ASSERT_TRUE(demo.ready()) << demo.errors();
    EXPECT_NE(demo.errors().find("zndemo: --status: no service manager to report to (NOTIFY_SOCKET is not set)\n"),
              std::string::npos)
        << demo.errors();
}

TEST(ZndemoUnderAManager, ServesThePassedSocketAndLeavesNoVariables) {
    FakeManager manager;
    dbtest::TempDir dir;
    zntest::Listener passed;
    const int own_port = zntest::free_port();
    ManagedDemo demo(dir, own_port, {}, {{"NOTIFY_SOCKET", manager.address()}, {"WATCHDOG_USEC", "10000000"}},
                     {{passed.fd}});
    ASSERT_TRUE(demo.ready()) << demo.errors();
    const std::string port = std::to_string(passed.port);
    EXPECT_NE(demo.errors().find("zndemo: remote consoles on 127.0.0.1 port " + port +
                                 " (connect with: znconsole 127.0.0.1 " + port + ")\n"),
              std::string::npos)
        << demo.errors();
    const std::string tid = zntest::tid_in_listing(apptest::console_commands({"127.0.0.1", port}, {"tasks"}).out,
                                                   "Service Watchdog");
    ASSERT_FALSE(tid.empty());
    const std::string detail = apptest::console_commands({"127.0.0.1", port}, {"tasks " + tid}).out;
    EXPECT_NE(detail.find("   Flags                : RESCHEDULE\n   Time Value           : 5s\n"), std::string::npos)
        << detail;
    EXPECT_TRUE(zntest::nobody_listens(own_port));
    EXPECT_EQ(zntest::leftover_variables(demo, zntest::kListenVariables), Strings{});
    EXPECT_EQ(zntest::leftover_variables(demo, zntest::kNotifyVariables), Strings{});
}

// The socket unit passes the TCP port and the local socket: zndemo serves
// both and opens no socket of its own.
TEST(ZndemoUnderAManager, ServesBothPassedSocketsAndOpensNoneOfItsOwn) {
    dbtest::TempDir dir;
    zntest::Listener tcp;
    const std::string path = dir / "passed.sock";
    zntest::UnixListener local(path);
    ManagedDemo demo(dir, zntest::free_port(), {}, {}, {{tcp.fd, local.fd}});
    ASSERT_TRUE(demo.ready()) << demo.errors();
    EXPECT_NE(demo.errors().find("zndemo: local console socket passed by the service manager\n"), std::string::npos)
        << demo.errors();
    const apptest::Outcome listing = apptest::console_commands({"-s", path}, {"sockets"});
    EXPECT_EQ(listing.status, 0) << listing.err;
    EXPECT_NE(listing.out.find("CLI Local Accept"), std::string::npos) << listing.out;
    EXPECT_EQ(apptest::console_commands({"127.0.0.1", std::to_string(tcp.port)}, {"dblist"}).status, 0);
    EXPECT_NE(access((dir / "data/zndemo.sock").c_str(), F_OK), 0) << "zndemo opened a socket of its own";
}

} // namespace
