// Remote users end to end: the test daemon over TCP on the loopback address, exact bytes.
#include <gtest/gtest.h>

#include <netinet/tcp.h>
#include <sys/resource.h>

#include <memory>
#include <string>
#include <vector>

#include "remote.h"

using zntest::Client;
using zntest::Daemon;
using zntest::kAck;
using zntest::kHandshake;
using zntest::kPrompt;

namespace {

const std::string kHelp =
    "Note: Use help [cmd] to get help on spcified command, or\n"
    "      use help -v to see description of all commands.\n\n"
    "args            ask             broadcast       cli-debug       fds             \n"
    "flood           help            history         message-mode    prompt          \n"
    "quit            sched-debug     shutdown        sockets         tasks           \n"
    "usage-test      \n";

// A running daemon and one logged-in client.
class Remote : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(daemon.ready()) << daemon.errors();
        client = std::make_unique<Client>(daemon.port());
        ASSERT_TRUE(client->connected());
        ASSERT_TRUE(client->login());
    }
    Daemon daemon;
    std::unique_ptr<Client> client;
};

TEST_F(Remote, WrongHandshakeIsIgnoredUntilTheRightOneComes) {
    Client other(daemon.port());
    other.send("HELO");
    // A handshake arriving in the same read as the wrong bytes is dropped
    // with them; the connection stays open and a later one succeeds.
    std::string got;
    for (int attempt = 0; attempt < 10 && got.empty(); ++attempt) {
        other.send(kHandshake);
        got = other.read_exactly(kAck.size() + kPrompt.size(), 1000);
    }
    EXPECT_EQ(got, kAck + kPrompt);
    EXPECT_EQ(other.command("args"), "\nargc=1\n[args]\n" + kPrompt);
}

TEST_F(Remote, CommandsSentWithTheHandshakeRunAfterTheAcknowledgement) {
    Client other(daemon.port());
    other.send(kHandshake + "args a\nargs b\n");
    EXPECT_EQ(other.read_until("[b]\n" + kPrompt),
              kAck + kPrompt + "\nargc=2\n[args]\n[a]\n" + kPrompt + "\nargc=2\n[args]\n[b]\n" + kPrompt);
}

TEST_F(Remote, HandshakeOneBytePerWrite) {
    Client other(daemon.port());
    const int on = 1;
    setsockopt(other.fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    for (char c : kHandshake) {
        other.send(std::string(1, c));
        usleep(20000);
    }
    EXPECT_EQ(other.read_exactly(kAck.size() + kPrompt.size()), kAck + kPrompt);
    EXPECT_EQ(other.command("args x"), "\nargc=2\n[args]\n[x]\n" + kPrompt);
}

// The reply of "args" with the given words, up to its prompt.
std::string args_reply(const std::vector<std::string> &words) {
    std::string reply = "\nargc=" + std::to_string(words.size() + 1) + "\n[args]\n";
    for (const std::string &w : words)
        reply += "[" + w + "]\n";
    return reply + kPrompt;
}

TEST_F(Remote, LinesSentTogetherRunInTurn) {
    client->send("args a\nargs b\n");
    EXPECT_EQ(client->read_until("[b]\n" + kPrompt), args_reply({"a"}) + args_reply({"b"}));
    client->send("args a\rargs b\r\nargs c\n");
    EXPECT_EQ(client->read_until("[c]\n" + kPrompt), args_reply({"a"}) + args_reply({"b"}) + args_reply({"c"}));
    std::string fifty, expected;
    for (int i = 0; i < 50; ++i) {
        fifty += "args " + std::to_string(i) + "\n";
        expected += args_reply({std::to_string(i)});
    }
    client->send(fifty);
    EXPECT_EQ(client->read_until("[49]\n" + kPrompt), expected);
}

TEST_F(Remote, PartialLinesAndLineEndsSplitAcrossWrites) {
    client->send("args a\nargs b\nar");
    EXPECT_EQ(client->read_until(kPrompt + "ar"), args_reply({"a"}) + args_reply({"b"}) + "ar");
    client->send("gs c\r");
    EXPECT_EQ(client->read_until(kPrompt), args_reply({"c"}));
    // The LF of the CR LF above ends nothing; the lone LF below does.
    client->send("\nargs d\n\n");
    EXPECT_EQ(client->read_until("\n" + kPrompt + "\n" + kPrompt), args_reply({"d"}) + "\n" + kPrompt);
}

TEST_F(Remote, RecallAndStringRequestWithinOneWrite) {
    client->send("args one\n!!\nask\nAda\nhistory\n");
    EXPECT_EQ(client->read_until("history\n" + kPrompt),
              args_reply({"one"}) + "\nargs one" + args_reply({"one"}) + "\nYour name? \ngot [Ada]\n" + kPrompt +
                  "\nCommand History:\n   [ 1] args one\n   [ 2] ask\n   [ 3] history\n" + kPrompt);
}

TEST_F(Remote, MessageLinesWithinOneWrite) {
    client->send("message-mode\nhello\n/back\nargs\n");
    EXPECT_EQ(client->read_until("[args]\n" + kPrompt),
              "\n" + kPrompt + "\nMSG(5):hello\n" + kPrompt + "\n" + kPrompt + args_reply({}));
}

TEST_F(Remote, HelpListings) {
    EXPECT_EQ(client->command("help"), "\n" + kHelp + kPrompt);
    EXPECT_EQ(client->command("help usage-test"),
              "\nUsage: usage-test <name> <dir>\n   Always wrong\n" + kPrompt);
    EXPECT_EQ(client->command("help ?"), "\nUsage: ? <no args>\n   This displays all commands\n" + kPrompt);
    EXPECT_EQ(client->command("help ask"), "\nUsage: ask <no args>\n   [No Description Available]\n" + kPrompt);
    EXPECT_EQ(client->command("help nosuch"), "\nUnable to find any help on that command\n" + kPrompt);
    const std::string verbose = client->command("help -v");
    EXPECT_EQ(verbose, client->command("? ignored"));
    EXPECT_EQ(verbose.substr(0, 74), "\n   args            Show the words of the line\n"
                                     "   ask             [No Desc");
    EXPECT_NE(verbose.find("   shutdown        Shutdwn this program\n"), std::string::npos);
    EXPECT_EQ(verbose.find("   bye"), std::string::npos);
}

TEST_F(Remote, UsageLineHasTwoBlanksAfterTheColon) {
    EXPECT_EQ(client->command("usage-test a"), "\nUsage:  usage-test <name> <dir>\n" + kPrompt);
    EXPECT_EQ(client->command("cli-debug ON"), "\nUsage:  cli-debug <on|max|off>\n" + kPrompt);
    EXPECT_EQ(client->command("tasks 1 2"), "\nUsage:  tasks <task id>\n" + kPrompt);
}

TEST_F(Remote, QuotedWordsReachTheHandler) {
    EXPECT_EQ(client->command("args \"two words\" back\\ slash 'single'"),
              "\nargc=4\n[args]\n[two words]\n[back slash]\n['single']\n" + kPrompt);
}

TEST_F(Remote, EditingKeysAndCompletionByteByByte) {
    std::string got;
    for (char c : std::string("usa")) {
        client->send(std::string(1, c));
        got += client->read_exactly(1);
    }
    client->send("\t");
    got += client->read_until("test ");
    client->send("x");
    got += client->read_exactly(1);
    client->send("\x7f");
    got += client->read_exactly(3);
    client->send("\r");
    got += client->read_until(kPrompt);
    EXPECT_EQ(got, "usage-test x\b \b\nUsage:  usage-test <name> <dir>\n" + kPrompt);
}

TEST_F(Remote, SecondTabListsTheMatches) {
    client->send("s");
    EXPECT_EQ(client->read_exactly(1), "s");
    client->send("\t");
    client->send("\t");
    EXPECT_EQ(client->read_until(kPrompt + "s"),
              "\nsched-debug     shutdown        sockets         \n" + kPrompt + "s");
    client->send("\x15");
    EXPECT_EQ(client->read_exactly(3), "\b \b");
}

TEST_F(Remote, HistoryAndRecall) {
    client->command("args one");
    client->command("history");
    EXPECT_EQ(client->command("!a"), "\nargs one\nargc=2\n[args]\n[one]\n" + kPrompt);
    EXPECT_EQ(client->command("!2"), "\nhistory\nCommand History:\n   [ 1] args one\n   [ 2] history\n" + kPrompt);
    client->send("\x1b[A");
    EXPECT_EQ(client->read_exactly(7), "history");
    client->send("\x1b[A");
    EXPECT_EQ(client->read_until("one"), "\b \b\b \b\b \b\b \b\b \b\b \b\b \bargs one");
    EXPECT_EQ(client->command(""), "\nargc=2\n[args]\n[one]\n" + kPrompt);
}

TEST_F(Remote, StringRequest) {
    client->send("ask\n");
    EXPECT_EQ(client->read_until("? "), "\nYour name? ");
    EXPECT_EQ(client->command("Ada"), "\ngot [Ada]\n" + kPrompt);
}

TEST_F(Remote, PromptChangesAfterTheCommand) {
    client->send("prompt $\n");
    EXPECT_EQ(client->read_until("$"), "\n$");
    client->send("prompt zn>\\ \n");
    EXPECT_EQ(client->read_until(kPrompt), "\n" + kPrompt);
}

TEST_F(Remote, MessageStateWithTheApplicationsHook) {
    EXPECT_EQ(client->command("message-mode"), "\n" + kPrompt);
    EXPECT_EQ(client->command("hello there"), "\nMSG(11):hello there\n" + kPrompt);
    EXPECT_EQ(client->command("/help"),
              "\nNote: Use /help [cmd] to get help on spcified command, or\n"
              "      use /help -v to see description of all commands.\n\n"
              "/back            /help            \n" + kPrompt);
    EXPECT_EQ(client->command("/back"), "\n" + kPrompt);
    EXPECT_EQ(client->command("args"), "\nargc=1\n[args]\n" + kPrompt);
}

TEST_F(Remote, BroadcastRedisplaysTheOtherUsersLine) {
    Client other(daemon.port());
    ASSERT_TRUE(other.login());
    other.send("his");
    EXPECT_EQ(other.read_exactly(3), "his");
    EXPECT_EQ(client->command("broadcast hi all"), "\n" + kPrompt);
    EXPECT_EQ(other.read_until(kPrompt + "his"), "\n* hi all\n" + kPrompt + "his");
}

TEST_F(Remote, QuitEndsOnlyThatConnection) {
    Client other(daemon.port());
    ASSERT_TRUE(other.login());
    client->send("quit\n");
    bool eof = false;
    EXPECT_EQ(client->read_to_eof(eof), "\nGoodbye!\n");
    EXPECT_TRUE(eof);
    EXPECT_EQ(other.command("args still"), "\nargc=2\n[args]\n[still]\n" + kPrompt);
    other.send("\x04");
    EXPECT_EQ(other.read_to_eof(eof), "quit\nGoodbye!\n");
    EXPECT_TRUE(eof);
}

TEST_F(Remote, ShutdownStopsTheDaemon) {
    client->send("shutdown\n");
    bool eof = false;
    EXPECT_EQ(client->read_to_eof(eof), "\nPlease Wait, Shutting Down.....\n");
    EXPECT_TRUE(eof);
    EXPECT_EQ(daemon.wait_exit(), 0) << daemon.errors();
}

TEST_F(Remote, OverlongLineIsDiscardedAndTheUserGoesOn) {
    client->send(std::string(2048, 'x'));
    EXPECT_EQ(client->read_until(kPrompt), std::string(2048, 'x') + "Input line too long, discarded\n" + kPrompt);
    client->send(std::string(5000, 'y'));
    client->send("tail of it\n");
    EXPECT_EQ(client->command("args next"), "\nargc=2\n[args]\n[next]\n" + kPrompt);
    // Lines before and after an overlong one in the same write run.
    client->send("args a\n" + std::string(5000, 'z') + "\nargs b\n");
    const std::string got = client->read_until("[b]\n" + kPrompt);
    EXPECT_TRUE(got.starts_with(args_reply({"a"}) + std::string(2048, 'z') + "Input line too long, discarded\n" +
                                kPrompt + args_reply({"b"})))
        << got;
}

TEST_F(Remote, LineWithTooManyWordsIsRefused) {
    std::string line = "args";
    for (int i = 0; i < 40; ++i)
        line += " w" + std::to_string(i);
    EXPECT_EQ(client->command(line), "\nCommand line too long\n" + kPrompt);
}

TEST_F(Remote, SchedulerCommands) {
    const std::string tasks = client->command("tasks");
    EXPECT_EQ(tasks.substr(0, tasks.find("0                         0s      Idle Task\n")),
              "\nNote: Use tasks <task id> for detailed information, or\n"
              "      Use tasks -a to see all tasks including done tasks\n"
              "Current tasks scheduled:\n\n"
              "TID               Flags    Left    Name\n");
    EXPECT_NE(tasks.find("1                 C       0s      CLI Cleanup\n"), std::string::npos);
    const std::string sockets = client->command("sockets");
    const std::string header = "\nRegistered Sockets:\n"
                               "Socket   Flags   Reads        Writes       Exceptions   Name\n";
    EXPECT_EQ(sockets.substr(0, header.size()), header);
    const size_t accept_end = sockets.find("   CLI Accept\n");
    ASSERT_NE(accept_end, std::string::npos);
    const size_t accept_line = sockets.rfind('\n', accept_end) + 1;
    EXPECT_EQ(sockets.substr(accept_line + 9, 8), "RWE     ");
    EXPECT_NE(sockets.find("RE      "), std::string::npos); // this user's socket
    EXPECT_EQ(client->command("sched-debug"), "\nUsage:  sched-debug <on|max|off>\n" + kPrompt);
}

TEST_F(Remote, DebugLinesComeAfterTheEcho) {
    EXPECT_EQ(client->command("cli-debug on"), "\nCLI Debugging is now enabled\n" + kPrompt);
    const std::string reply = client->command("args x");
    EXPECT_TRUE(reply.starts_with("\ncli_receive_data: [FD ")) << reply;
    EXPECT_TRUE(reply.ends_with("] Received Command \"args\" - Found, Executing..\nargc=2\n[args]\n[x]\n" + kPrompt))
        << reply;
}

TEST_F(Remote, DebugChannelEndsWithTheUserWhoOpenedIt) {
    EXPECT_EQ(client->command("cli-debug on"), "\nCLI Debugging is now enabled\n" + kPrompt);
    const std::string reply = client->command("sched-debug on");
    EXPECT_TRUE(reply.ends_with("Scheduler Debugging is now enabled\n" + kPrompt)) << reply;
    client->send("quit\n");
    bool eof = false;
    client->read_to_eof(eof);
    ASSERT_TRUE(eof);
    // The next connection is likely to get the same descriptor number; it
    // must see nothing but its own session.
    Client next(daemon.port());
    ASSERT_TRUE(next.login());
    EXPECT_EQ(next.command("args clean"), "\nargc=2\n[args]\n[clean]\n" + kPrompt);
}

TEST_F(Remote, ConnectionsLeaveNoDescriptorsOrUsersBehind) {
    const std::string before = client->command("fds");
    for (int i = 0; i < 60; ++i) {
        Client c(daemon.port());
        ASSERT_TRUE(c.connected());
        if (i % 3 == 0)
            continue; // closed before the handshake
        ASSERT_TRUE(c.login());
        if (i % 3 == 1) {
            c.send("quit\n");
            bool eof = false;
            c.read_to_eof(eof);
        }
    }
    // Closing is asynchronous for the daemon: ask until every end was seen.
    std::string after;
    for (int tries = 0; tries < 100 && after != before; ++tries) {
        after = client->command("fds");
        if (after != before)
            usleep(20000);
    }
    EXPECT_EQ(after, before);
    EXPECT_NE(before.find("users=1\n"), std::string::npos);
}

TEST_F(Remote, SlowReaderDoesNotHoldUpTheOthers) {
    // The slow client never reads, with small buffers so that they fill
    // soon; its lines leave at once (no Nagle delay while the daemon's
    // acknowledgements wait), so that each arrives as a read of its own.
    const int on = 1;
    Client slow(daemon.port(), "127.0.0.1", 4096);
    setsockopt(slow.fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ASSERT_TRUE(slow.login());
    Client other(daemon.port());
    ASSERT_TRUE(other.login());
    for (int round = 0; round < 5; ++round) {
        slow.send("flood 20000\n");
        EXPECT_EQ(other.command("args " + std::to_string(round)),
                  "\nargc=2\n[args]\n[" + std::to_string(round) + "]\n" + kPrompt);
    }
    // The slow user is still connected and gets its (partly lost) output.
    EXPECT_EQ(slow.read_exactly(1, 5000), "\n");
    EXPECT_NE(client->command("fds").find("users=3\n"), std::string::npos);
    // Its farewell waits a bounded time for it, then the connection ends.
    slow.send("quit\n");
    EXPECT_EQ(other.command("args after"), "\nargc=2\n[args]\n[after]\n" + kPrompt);
    bool eof = false;
    slow.read_to_eof(eof, 30000);
    EXPECT_TRUE(eof);
    EXPECT_NE(client->command("fds").find("users=2\n"), std::string::npos);
}

TEST(RemoteRestart, RestartedDaemonBindsItsPortAtOnce) {
    Daemon first;
    ASSERT_TRUE(first.ready()) << first.errors();
    const int port = first.port();
    {
        Client c(port);
        ASSERT_TRUE(c.login());
        c.send("shutdown\n");
        bool eof = false;
        c.read_to_eof(eof);
    }
    ASSERT_EQ(first.wait_exit(), 0);
    Daemon second({}, port);
    ASSERT_TRUE(second.ready()) << second.errors();
    EXPECT_EQ(second.port(), port);
}

// CPU time (user and system) of the children reaped so far, in seconds.
double children_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int count_of(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST(RemoteLimits, OutOfDescriptorsTheDaemonRestsAndServesOnceOneIsFree) {
    Daemon daemon({"--max-fds", "12", "--debug"});
    ASSERT_TRUE(daemon.ready()) << daemon.errors();
    // Users take the descriptors until a connection is no longer accepted.
    std::vector<std::unique_ptr<Client>> served;
    std::unique_ptr<Client> waiting;
    while (!waiting && served.size() < 12) {
        auto c = std::make_unique<Client>(daemon.port());
        ASSERT_TRUE(c->connected());
        c->send(kHandshake);
        if (c->read_exactly(kAck.size() + kPrompt.size(), 1000) == kAck + kPrompt)
            served.push_back(std::move(c));
        else
            waiting = std::move(c);
    }
    ASSERT_TRUE(waiting && served.size() >= 2);
    // Meanwhile the others are served, and the daemon rests.
    for (int round = 0; round < 5; ++round) {
        EXPECT_EQ(served[0]->command("args " + std::to_string(round)), args_reply({std::to_string(round)}));
        usleep(500000);
    }
    // A user leaves: the waiting connection is taken and served.
    served.back()->send("quit\n");
    bool eof = false;
    served.back()->read_to_eof(eof);
    EXPECT_EQ(waiting->read_exactly(kAck.size() + kPrompt.size(), 3000), kAck + kPrompt);
    EXPECT_EQ(waiting->command("args w"), args_reply({"w"}));
    served[0]->send("shutdown\n");
    ASSERT_EQ(daemon.wait_exit(), 0);
    // A loop retrying accept() at full speed would have used about 2.5 s.
    EXPECT_LT(children_cpu_seconds(), 0.3);
    const int pauses = count_of(daemon.errors(), "cli_fd_event: Out of descriptors, not accepting for 1 second\n");
    EXPECT_GE(pauses, 2) << daemon.errors(); // one a second
    EXPECT_LE(pauses, 5) << daemon.errors();
}

TEST(RemoteAddress, ListensOnlyOnTheGivenAddress) {
    Daemon daemon({"--listen", "127.0.0.1"});
    ASSERT_TRUE(daemon.ready()) << daemon.errors();
    Client on(daemon.port(), "127.0.0.1");
    EXPECT_TRUE(on.connected() && on.login());
    Client off(daemon.port(), "127.0.0.2");
    EXPECT_FALSE(off.connected());
}

} // namespace
