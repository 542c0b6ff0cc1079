// Limits end to end: the most users at once over TCP and the local socket, and the handshake time-out.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "db_support.h"
#include "remote.h"

using zntest::Client;
using zntest::Clock;
using zntest::Daemon;
using zntest::kPrompt;

namespace {

// True when the peer closes the connection within timeout_ms without
// sending anything.
bool closed_unanswered(Client &client, int timeout_ms = 5000) {
    bool eof = false;
    const std::string got = client.read_to_eof(eof, timeout_ms);
    return eof && got.empty();
}

std::string args_reply(const std::string &word) { return "\nargc=2\n[args]\n[" + word + "]\n" + kPrompt; }

// The user quits; true once the daemon has closed its connection.
bool leaves(Client &user) {
    user.send("quit\n");
    bool eof = false;
    user.read_to_eof(eof);
    return eof;
}

TEST(UserLimit, The129thConnectionIsClosedAndTheOthersAreServed) {
    Daemon daemon;
    ASSERT_TRUE(daemon.ready()) << daemon.errors();
    std::vector<std::unique_ptr<Client>> users;
    for (int i = 0; i < 128; ++i) {
        users.push_back(std::make_unique<Client>(daemon.port()));
        ASSERT_TRUE(users.back()->login()) << "user " << i + 1;
    }
    Client over(daemon.port());
    ASSERT_TRUE(over.connected()) << "the kernel takes the connection; the daemon closes it";
    over.send(zntest::kHandshake);
    EXPECT_TRUE(closed_unanswered(over));
    for (size_t i = 0; i < users.size(); ++i)
        ASSERT_EQ(users[i]->command("args " + std::to_string(i)), args_reply(std::to_string(i)));
    ASSERT_TRUE(leaves(*users.back())) << "one leaves: there is room again";
    Client next(daemon.port());
    EXPECT_TRUE(next.login());
}

TEST(UserLimit, TcpAndLocalUsersCountTogether) {
    dbtest::TempDir dir;
    const std::string path = dir / "c.sock";
    Daemon daemon({"--socket", path, "--limits", "2", "10", "--debug"});
    ASSERT_TRUE(daemon.ready()) << daemon.errors();
    Client tcp(daemon.port());
    ASSERT_TRUE(tcp.login());
    Client local(path);
    ASSERT_TRUE(local.login());
    Client local_over(path);
    EXPECT_TRUE(closed_unanswered(local_over));
    Client tcp_over(daemon.port());
    EXPECT_TRUE(closed_unanswered(tcp_over));
    EXPECT_EQ(tcp.command("args t"), args_reply("t"));
    EXPECT_EQ(local.command("args l"), args_reply("l"));
    daemon.drain_errors();
    EXPECT_NE(daemon.errors().find("cli_fd_event: Too many users (limit 2), closing the new connection on fd "),
              std::string::npos)
        << daemon.errors();
    ASSERT_TRUE(leaves(tcp));
    Client local_again(path);
    EXPECT_TRUE(local_again.login());
}

TEST(HandshakeTimeout, SilentPeersAreClosedAndUsersStay) {
    dbtest::TempDir dir;
    const std::string path = dir / "c.sock";
    Daemon daemon({"--socket", path, "--limits", "128", "1", "--debug"});
    ASSERT_TRUE(daemon.ready()) << daemon.errors();
    Client user(daemon.port());
    ASSERT_TRUE(user.login());
    const auto start = Clock::now();
    Client silent(daemon.port());
    Client halfway(daemon.port());
    halfway.send(zntest::kHandshake.substr(0, 2));
    Client local_silent(path);
    Client late(daemon.port()); // its handshake in two pieces, in time
    late.send(zntest::kHandshake.substr(0, 1));
    late.send(zntest::kHandshake.substr(1));
    EXPECT_EQ(late.read_exactly(zntest::kAck.size() + kPrompt.size()), zntest::kAck + kPrompt);
    for (Client *peer : {&silent, &halfway, &local_silent})
        EXPECT_TRUE(closed_unanswered(*peer, 5000));
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(950));
    EXPECT_LT(waited, std::chrono::milliseconds(4000));
    EXPECT_EQ(user.command("args u"), args_reply("u"));
    EXPECT_EQ(late.command("args l"), args_reply("l"));
    daemon.drain_errors();
    EXPECT_NE(daemon.errors().find("cli_handshake_timeout: No handshake on fd "), std::string::npos);
    EXPECT_NE(daemon.errors().find(" within 1 seconds, closing\n"), std::string::npos) << daemon.errors();
}

TEST(HandshakeTimeout, ZeroMeansNever) {
    Daemon daemon({"--limits", "128", "0"});
    ASSERT_TRUE(daemon.ready()) << daemon.errors();
    Client patient(daemon.port());
    ASSERT_TRUE(patient.connected());
    bool eof = false;
    patient.read_to_eof(eof, 2500);
    EXPECT_FALSE(eof);
    EXPECT_TRUE(patient.login());
}

} // namespace
