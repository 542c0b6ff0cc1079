// znconsole against scripted peers and the console test daemon: targets, greeting, -c runs, the interactive relay.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "db_support.h"
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

// A console that closes the connection on "quit" and "crash".
std::function<void(int)> closing_console() {
    return console("zn> ", [](const std::string &line) -> std::string {
        return line == "quit" || line == "crash" ? "CLOSE" : "\nok\nzn> ";
    });
}

TEST(Znconsole, ConnectionClosedByALastQuitEndsNormally) {
    Peer peer(closing_console());
    const Outcome o = znconsole({"-c", "x", "-c", "quit", "127.0.0.1", peer.port()});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "ok\n");
    EXPECT_EQ(o.err, "");
}

TEST(Znconsole, ConnectionClosedBeforeTheCommandsAreAnsweredFails) {
    Peer after_quit(closing_console());
    Outcome o = znconsole({"-c", "x", "-c", "quit", "-c", "never", "127.0.0.1", after_quit.port()});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "ok\n");
    EXPECT_EQ(o.err, "znconsole: the daemon closed the connection before answering \"never\"; 1 command(s) not "
                     "answered\n");
    Peer crashing(closing_console());
    o = znconsole({"-c", "crash", "-c", "x", "127.0.0.1", crashing.port()});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "znconsole: the daemon closed the connection before answering \"crash\"; 2 command(s) not "
                     "answered\n");
    Peer after_greeting([](int fd) {
        zntest::Reader in(fd);
        in.exactly(4);
        say(fd, zntest::kAck + "zn> ");
    });
    o = znconsole({"-c", "x", "127.0.0.1", after_greeting.port()});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "znconsole: the daemon closed the connection before answering \"x\"; 1 command(s) not "
                     "answered\n");
}

TEST(Znconsole, AGreetingThatNeverEndsIsCutAt64KiB) {
    Peer peer([](int fd) {
        zntest::Reader in(fd);
        in.exactly(4);
        say(fd, zntest::kAck);
        const std::string flood(4096, 'x');
        while (send(fd, flood.data(), flood.size(), MSG_NOSIGNAL) > 0) {
        }
    });
    const Outcome o = znconsole({"-c", "x", "127.0.0.1", peer.port()});
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.err, "znconsole: the peer sent more than 64 KiB before its first prompt: it is not a zn console\n");
    EXPECT_EQ(o.out, "");
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

TEST(Znconsole, PeerThatClosesAtOnceHasTooManyUsers) {
    Peer peer([](int) {});
    const Outcome o = znconsole({"-c", "help", "127.0.0.1", peer.port()});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "znconsole: the daemon has too many console users: 127.0.0.1 port " + peer.port() +
                         " closed the connection before the handshake\n");
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
    const Outcome both = znconsole({"-s", "/tmp/x.sock", "127.0.0.1"});
    EXPECT_EQ(both.status, 1);
    EXPECT_EQ(both.err, "znconsole: give either --socket or a host and port, not both\n");
    const Outcome missing = znconsole({"--socket", "/nonexistent/zn.sock"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "znconsole: cannot connect to socket /nonexistent/zn.sock: No such file or directory\n");
}

// Against the console test daemon, which listens on TCP and on a local
// socket in its directory's data/zndemo.sock, where zndemo has its own.
class RealDaemon : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(daemon.ready()) << daemon.errors(); }
    std::string port() const { return std::to_string(daemon.port()); }
    std::string socket() const { return dir / "data/zndemo.sock"; }
    dbtest::TempDir dir;
    const int data_made = mkdir((dir / "data").c_str(), 0700);
    zntest::Daemon daemon{{"--socket", dir / "data/zndemo.sock", "--limits", "2", "10"}};
};

TEST_F(RealDaemon, ScriptedCommandsOverTheLocalSocket) {
    const Outcome o = znconsole({"-c", "whoami", "-c", "args a", "--socket", socket()});
    EXPECT_EQ(o.status, 0) << o.err;
    const std::string who = "uid=0 gid=0 pid=", rest = " (Local User)\nargc=2\n[args]\n[a]\n";
    ASSERT_GT(o.out.size(), who.size() + rest.size()) << o.out;
    EXPECT_EQ(o.out.substr(0, who.size()), who);
    EXPECT_EQ(o.out.substr(o.out.size() - rest.size()), rest);
}

TEST_F(RealDaemon, WithoutATargetTheEnvironmentThenZndemosSocket) {
    setenv("ZN_CONSOLE_SOCKET", socket().c_str(), 1);
    Outcome o = apptest::run_program({ZN_ZNCONSOLE, "-v", "-c", "args env"}, "", "/");
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "argc=2\n[args]\n[env]\n");
    EXPECT_EQ(o.err, "znconsole: connected to socket " + socket() + "\n");
    setenv("ZN_CONSOLE_SOCKET", (dir / "missing.sock").c_str(), 1);
    o = apptest::run_program({ZN_ZNCONSOLE, "-v", "-c", "args data"}, "", dir.path());
    unsetenv("ZN_CONSOLE_SOCKET");
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "argc=2\n[args]\n[data]\n");
    EXPECT_EQ(o.err, "znconsole: cannot connect to socket " + dir.path() + "/missing.sock: No such file or "
                     "directory\nznconsole: connected to socket ./data/zndemo.sock\n");
    o = apptest::run_program({ZN_ZNCONSOLE, "-c", "args quiet"}, "", dir.path());
    EXPECT_EQ(o.err, "") << "only -v tells where";
}

TEST_F(RealDaemon, ADaemonWithTooManyUsersIsSaidSo) {
    zntest::Client first(daemon.port()), second(socket());
    ASSERT_TRUE(first.login() && second.login());
    for (const std::vector<std::string> &where : {std::vector<std::string>{"127.0.0.1", port()},
                                                  std::vector<std::string>{"-s", socket()}}) {
        std::vector<std::string> args = {"-c", "args"};
        args.insert(args.end(), where.begin(), where.end());
        const Outcome o = znconsole(args);
        EXPECT_EQ(o.status, 1);
        EXPECT_NE(o.err.find("znconsole: the daemon has too many console users"), std::string::npos) << o.err;
    }
    EXPECT_EQ(first.command("args still"), "\nargc=2\n[args]\n[still]\n" + zntest::kPrompt);
}

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
