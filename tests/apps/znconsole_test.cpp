// znconsole against scripted peers and the console test daemon: greeting, -c runs, the interactive relay.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "programs.h"
#include "pty_process.h"
#include "remote.h"

using apptest::Outcome;

namespace {

// A TCP peer on the loopback address that serves one connection with a
// script running in a thread.
class Peer {
public:
    explicit Peer(std::function<void(int)> script) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        listen(listener_, 1);
        socklen_t len = sizeof addr;
        getsockname(listener_, reinterpret_cast<sockaddr *>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this, script] {
            const int fd = accept(listener_, nullptr, nullptr);
            script(fd);
            close(fd);
        });
    }
    ~Peer() {
        thread_.join();
        close(listener_);
    }

    std::string port() const { return std::to_string(port_); }

private:
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

void say(int fd, const std::string &bytes) {
    ssize_t ignored = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    (void)ignored;
}

// The next line the client sent (one write each), without its line end.
std::string next_line(zntest::Reader &in) {
    std::string line = in.until("\n");
    return line.empty() ? line : line.substr(0, line.size() - 1);
}

// A console that greets with prompt and answers each line with answer(line).
std::function<void(int)> console(const std::string &prompt, std::function<std::string(const std::string &)> answer) {
    return [prompt, answer](int fd) {
        zntest::Reader in(fd);
        if (in.exactly(4) != zntest::kHandshake)
            return;
        say(fd, zntest::kAck);
        say(fd, prompt);
        for (std::string line; !(line = next_line(in)).empty();) {
            const std::string reply = answer(line);
            if (reply == "CLOSE")
                return;
            say(fd, reply);
        }
    };
}

Outcome znconsole(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {ZN_ZNCONSOLE};
    argv.insert(argv.end(), args.begin(), args.end());
    return apptest::run_program(argv);
}

TEST(Znconsole, ScriptLearnsThePromptAndDropsEchoAndPrompts) {
    Peer peer(console("db$ ", [](const std::string &line) -> std::string {
        if (line == "one")
            return "\nfirst\nsecond\ndb$ ";
        if (line == "partial")
            return "part\nout of partial\ndb$ "; // the echo of a line read in two pieces
        return "\ndb$ ";
    }));
    const Outcome o = znconsole({"-c", "one", "-c", "quiet", "-c", "partial", "127.0.0.1", peer.port()});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "first\nsecond\nout of partial\n");
    EXPECT_EQ(o.err, "");
}

TEST(Znconsole, PromptAndOutputInPieces) {
    Peer peer([](int fd) {
        zntest::Reader in(fd);
        in.exactly(4);
        say(fd, zntest::kAck);
        usleep(50 * 1000);
        say(fd, "> ");
        next_line(in);
        for (const char *piece : {"\n", "a > b\n", "> c\n", "> "}) {
            say(fd, piece);
            usleep(20 * 1000);
        }
        next_line(in);
    });
    const Outcome o = znconsole({"-c", "compare", "127.0.0.1", peer.port()});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "a > b\n> c\n");
}

TEST(Znconsole, ConnectionClosedAfterQuitEndsNormally) {
    Peer peer(console("zn> ", [](const std::string &line) -> std::string {
        return line == "quit" ? "CLOSE" : "\nok\nzn> ";
    }));
    const Outcome o = znconsole({"-c", "x", "-c", "quit", "-c", "never", "127.0.0.1", peer.port()});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "ok\n");
    EXPECT_EQ(o.err, "znconsole: the daemon closed the connection; 1 command(s) not sent\n");
}

TEST(Znconsole, PeerThatAnswersOtherwiseIsNoConsole) {
    Peer peer([](int fd) {
        zntest::Reader in(fd);
        in.exactly(4);
        say(fd, "HELLO there\r\n");
    });
    const Outcome o = znconsole({"127.0.0.1", peer.port()});
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.err, "znconsole: 127.0.0.1 port " + peer.port() +
                         " is not a zn console: it answered the handshake with something else\n");
}

TEST(Znconsole, PeerThatClosesIsNoConsole) {
    Peer peer([](int) {});
    const Outcome o = znconsole({"-c", "help", "127.0.0.1", peer.port()});
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.err.find("closed the connection without acknowledging the handshake"), std::string::npos);
}

TEST(Znconsole, SilentPeerIsGivenFiveSeconds) {
    Peer peer([](int fd) {
        zntest::Reader in(fd);
        bool eof = false;
        in.to_eof(eof, 15000); // until the client gives up
    });
    const auto start = std::chrono::steady_clock::now();
    const Outcome o = znconsole({"127.0.0.1", peer.port()});
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.err.find("did not acknowledge the handshake within 5 seconds"), std::string::npos);
    EXPECT_GE(waited, std::chrono::milliseconds(4900));
    EXPECT_LT(waited, std::chrono::seconds(12));
}

TEST(Znconsole, RefusedConnectionAndUsage) {
    const int port = zntest::free_port();
    const Outcome refused = znconsole({"127.0.0.1", std::to_string(port)});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "znconsole: cannot connect to 127.0.0.1 port " + std::to_string(port) +
                               ": Connection refused\n");
    EXPECT_EQ(znconsole({"--help"}).status, 0);
    EXPECT_EQ(znconsole({"127.0.0.1", "http"}).status, 1);
    EXPECT_EQ(znconsole({"a", "1", "extra"}).status, 1);
}

// Against the console test daemon.
class RealDaemon : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(daemon.ready()) << daemon.errors(); }
    std::string port() const { return std::to_string(daemon.port()); }
    zntest::Daemon daemon;
};

TEST_F(RealDaemon, ScriptedCommands) {
    const Outcome o = znconsole({"-c", "args a \"b c\"", "-c", "usage-test", "127.0.0.1", port()});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "argc=3\n[args]\n[a]\n[b c]\nUsage:  usage-test <name> <dir>\n");
}

TEST_F(RealDaemon, InteractiveRelayInRawModeUntilQuit) {
    zntest::PtyProcess client({ZN_ZNCONSOLE, "127.0.0.1", port()});
    ASSERT_TRUE(client.started());
    EXPECT_EQ(client.read_until(zntest::kPrompt), zntest::kPrompt);
    EXPECT_TRUE(zntest::is_raw(client.settings()));
    client.type("args x\r");
    EXPECT_EQ(client.read_until(zntest::kPrompt), "\r\nargc=2\r\n[args]\r\n[x]\r\n" + zntest::kPrompt);
    client.type("hel");
    EXPECT_EQ(client.read_until("hel"), "hel") << "the daemon echoes";
    client.type("p history\r");
    EXPECT_EQ(client.read_until(zntest::kPrompt).substr(0, 8), "\r\nUsage:");
    client.type("quit\r");
    EXPECT_EQ(client.read_until("Goodbye!\r\n"), "\r\nGoodbye!\r\n");
    EXPECT_EQ(client.wait_exit(), 0);
    EXPECT_TRUE(zntest::is_cooked(client.settings()));
}

TEST_F(RealDaemon, PipedLinesAreSentOneByOne) {
    const Outcome o = apptest::run_program({ZN_ZNCONSOLE, "127.0.0.1", port()}, "args one\nargs two\r\nquit\n");
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "zn> \nargc=2\n[args]\n[one]\nzn> \nargc=2\n[args]\n[two]\nzn> \nGoodbye!\n");
}

TEST_F(RealDaemon, EscapeKeyAndSignalsRestoreTheTerminal) {
    zntest::PtyProcess escaped({ZN_ZNCONSOLE, "127.0.0.1", port()});
    escaped.read_until(zntest::kPrompt);
    escaped.type("\x1d");
    EXPECT_EQ(escaped.wait_exit(), 0);
    EXPECT_TRUE(zntest::is_cooked(escaped.settings()));

    zntest::PtyProcess stopped({ZN_ZNCONSOLE, "127.0.0.1", port()});
    stopped.read_until(zntest::kPrompt);
    EXPECT_TRUE(zntest::is_raw(stopped.settings()));
    kill(stopped.pid(), SIGTERM);
    EXPECT_EQ(stopped.wait_exit(), 128 + SIGTERM);
    EXPECT_TRUE(zntest::is_cooked(stopped.settings()));
}

} // namespace
