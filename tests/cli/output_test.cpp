// Output: direct writes, the output buffer and write interest, the hook, cli_printf, cli_flush.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>

#include "child.h"
#include "remote.h"
#include "session.h"

using zntest::report;
using zntest::run_in_child;
using zntest::Session;

namespace {

char *text(const char *s) { return const_cast<char *>(s); }

ulong_t watched(int fd) { return sched_find_fd(fd)->flags; }

// Reads and drops what the peer has, until a test byte shows nothing else.
void empty_peer(const Session &s) { zntest::drain(s.peer()); }

TEST(Output, WrittenAtOnceWhenNothingIsPending) {
    auto child = run_in_child([] {
        zntest::init_console();
        Session s;
        REQUIRE(cli_output(s.user(), text("hello"), 5, CLI_OUT_TEXT) == 0);
        REQUIRE(s.user()->out_len == 0);
        REQUIRE(watched(s.fd()) == (SCHED_FD_READ | SCHED_FD_EXCEPT));
        report(zntest::drain(s.peer()));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "hello");
}

TEST(Output, SeparateOutputDescriptorIsWatchedOnlyForWriting) {
    auto child = run_in_child([] {
        zntest::init_console();
        int in[2], out[2];
        zntest::make_pipe(in);
        zntest::make_pipe(out);
        static char who[] = "piped";
        REQUIRE(cli_add_user(in[0], out[1], who, nullptr, 0, nullptr) == 0);
        CmdUser *up = cli_find_user(in[0], out[1], CLI_MATCH_BOTH);
        REQUIRE(up && up->state == CLI_STATE_MAGIC);
        REQUIRE(watched(in[0]) == 5 && watched(out[1]) == 4);
        REQUIRE(cli_output(up, text("x"), 1, CLI_OUT_TEXT) == 0 && watched(out[1]) == 4);
        char c = 0;
        REQUIRE(read(out[0], &c, 1) == 1 && c == 'x');
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(Output, FullDescriptorQueuesAndAsksForWriteInterest) {
    auto child = run_in_child([] {
        zntest::init_console();
        Session s;
        s.fill_output();
        REQUIRE(cli_output(s.user(), text("abc"), 3, CLI_OUT_TEXT) == 0);
        REQUIRE(cli_output(s.user(), text("de"), 2, CLI_OUT_TEXT) == 0);
        REQUIRE(s.user()->out_len == 5 && memcmp(s.user()->out_buf, "abcde", 5) == 0);
        REQUIRE(watched(s.fd()) == 7);
        REQUIRE(cli_find_user(s.fd(), s.fd(), CLI_MATCH_BOTH) == s.user()); // not a disconnect
        // A text larger than the free space is refused whole.
        const std::string big(2048 - 5 + 1, 'b');
        REQUIRE(cli_output(s.user(), const_cast<char *>(big.data()), static_cast<int>(big.size()),
                           CLI_OUT_TEXT) == -1);
        REQUIRE(s.user()->out_len == 5);
        // Once the peer reads, the write side sends the rest and drops interest.
        std::string got;
        while (got.find("abcde") == std::string::npos) {
            got += zntest::drain(s.peer());
            cli_fd_event(s.fd(), s.user(), 0, 1, 0);
        }
        REQUIRE(s.user()->out_len == 0 && watched(s.fd()) == 5);
        report(got.substr(got.size() - 6));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "#abcde");
}

// Takes 10 bytes of a text.
int partial_hook(uchar_t, CmdUser *up, void *buf, int) {
    return static_cast<int>(write(up->out_fd, buf, 10));
}

TEST(Output, HookTakesPartOfATextAndTheRestIsQueuedForTheDescriptor) {
    auto child = run_in_child([] {
        zntest::init_console();
        Session s(true, partial_hook);
        const std::string thirty = "0123456789abcdefghijABCDEFGHIJ";
        REQUIRE(cli_output(s.user(), const_cast<char *>(thirty.data()), 30, CLI_OUT_TEXT) == 0);
        REQUIRE(s.user()->out_len == 20 && watched(s.fd()) == 7);
        REQUIRE(std::string(s.user()->out_buf, 20) == thirty.substr(10));
        cli_fd_event(s.fd(), s.user(), 0, 1, 0);
        REQUIRE(s.user()->out_len == 0 && watched(s.fd()) == 5);
        report(zntest::drain(s.peer()));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "0123456789abcdefghijABCDEFGHIJ");
}

int refusing_hook(uchar_t, CmdUser *, void *, int) { return 0; }

TEST(Output, PromptRefusedByTheHookIsWrittenWhenWritable) {
    auto child = run_in_child([] {
        zntest::init_console();
        static char prompt[] = "twelve bytes";
        cli_set_prompt(prompt);
        Session s(true, refusing_hook);
        cli_reprint_prompt(s.user());
        REQUIRE(s.user()->out_len == 12 && zntest::drain(s.peer()).empty());
        cli_fd_event(s.fd(), s.user(), 0, 1, 0);
        report(zntest::drain(s.peer()));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "twelve bytes");
}

std::string hooked; // what recording_hook was given, as <type:text>

int recording_hook(uchar_t type, CmdUser *, void *buf, int len) {
    hooked += "<" + std::to_string(type) + ":" + std::string(static_cast<char *>(buf), len) + ">";
    return len;
}

int install_hook(int, char **) {
    current_user->output_handler = recording_hook;
    cli_printf(text("%s"), text("installed\n"));
    return 0;
}

TEST(Output, HookInstalledByAHandlerSeesAllOutputAfterIt) {
    auto child = run_in_child([] {
        zntest::init_console();
        cli_add_cmd(text("install"), nullptr, nullptr, install_hook, 0);
        Session s;
        report(s.type("install\nfoo\n") + "|" + hooked);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    // The echo came before the hook and leaves first; then everything,
    // prompts included, goes to the hook.
    EXPECT_EQ(child.output, "\n|<2:installed\n><4:> ><1:\n><2:Command \"foo\" was not found\n><4:> >");
}

// Switches the console's debug channel to the typing user and writes a
// line there before any output.
int debug_here(int, char **) {
    cli_set_debug(1, current_user->out_fd);
    cli_remove_user(-5, -5, CLI_MATCH_BOTH);
    cli_set_debug(0, -1);
    return 0;
}

TEST(Output, DebugLinesComeAfterTheOutputCollectedBeforeThem) {
    auto child = run_in_child([] {
        zntest::init_console();
        cli_add_cmd(text("debug-here"), nullptr, nullptr, debug_here, 0);
        Session s;
        report(s.type("debug-here\n"));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\ncli_remove_user: Request to remove user, in_fd = -5, out_fd = -5, type = 3\n"
                            "cli_remove_user: User not found\n> ");
}

TEST(Output, QuitSaysGoodbyeAfterTheOutputBeforeIt) {
    auto child = run_in_child([] {
        zntest::init_console(static_cast<ushort_t>(zntest::free_port()));
        Session s;
        report(s.type("history\nquit\n"));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\nCommand History:\n   [ 1] history\n> \nGoodbye!\n");
}

TEST(Output, PeerThatHasGoneCostsTheUserNotTheProcess) {
    auto child = run_in_child([] {
        zntest::init_console();
        Session s;
        s.fill_output();
        REQUIRE(cli_output(s.user(), text("queued"), 6, CLI_OUT_TEXT) == 0);
        close(s.peer());
        REQUIRE(cli_output(s.user(), text("more"), 4, CLI_OUT_TEXT) == -1);
        REQUIRE(cli_find_user(s.fd(), s.fd(), CLI_MATCH_ANY) == nullptr);
        REQUIRE(sched_find_fd(s.fd()) == nullptr);
        REQUIRE(fcntl(s.fd(), F_GETFD) == -1 && errno == EBADF); // closed
        REQUIRE(CliDebug.total_users == 0);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(Output, BrokenPipeNeverRaisesSigpipe) {
    auto child = run_in_child([] {
        zntest::init_console();
        int in[2], out[2];
        zntest::make_pipe(in);
        zntest::make_pipe(out);
        close(out[0]);
        static char who[] = "piped";
        REQUIRE(cli_add_user(in[0], out[1], who, nullptr, 0, nullptr) == 0);
        CmdUser *up = cli_find_user(in[0], out[1], CLI_MATCH_BOTH);
        REQUIRE(cli_output(up, text("lost"), 4, CLI_OUT_TEXT) == 0); // direct write failed: queued
        REQUIRE(up->out_len == 4);
        REQUIRE(cli_output(up, text("x"), 1, CLI_OUT_TEXT) == -1); // pending write failed: gone
        REQUIRE(cli_find_user(in[0], out[1], CLI_MATCH_ANY) == nullptr);
        struct sigaction action;
        sigaction(SIGPIPE, nullptr, &action);
        sigset_t pending;
        sigpending(&pending);
        REQUIRE(action.sa_handler == SIG_DFL && !sigismember(&pending, SIGPIPE));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(Output, FlushGivesUpAfterAboutASecond) {
    auto child = run_in_child([] {
        zntest::init_console();
        Session s;
        s.fill_output();
        REQUIRE(cli_output(s.user(), text("stuck"), 5, CLI_OUT_TEXT) == 0);
        const time_t start = time(nullptr);
        REQUIRE(cli_flush(s.user()) == -1);
        REQUIRE(time(nullptr) - start <= 3);
        REQUIRE(s.user()->out_len == 5 && cli_find_user(s.fd(), s.fd(), CLI_MATCH_ANY) == s.user());
        empty_peer(s);
        empty_peer(s);
        REQUIRE(cli_flush(s.user()) == 0 && s.user()->out_len == 0);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(Output, PrintfFormatsForTheCurrentUserOnly) {
    auto child = run_in_child([] {
        zntest::init_console();
        Session s;
        REQUIRE(cli_printf(text("nobody %d"), 1) == -1);
        current_user = s.user();
        REQUIRE(cli_printf(text("n=%d %s\n"), 42, "x") == 7);
        const std::string long_arg(3000, 'L');
        REQUIRE(cli_printf(text("%s"), long_arg.c_str()) == 3000); // cut to 2047 bytes
        report(zntest::drain(s.peer()));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "n=42 x\n" + std::string(2047, 'L'));
}

TEST(Output, PromptAndPendingInputAreRedisplayedWhole) {
    auto child = run_in_child([] {
        zntest::init_console();
        Session s;
        memcpy(s.user()->in_buf, "hel", 3);
        s.user()->in_len = 3;
        cli_reprint_prompt(s.user());
        report(zntest::drain(s.peer()) + "|");
        const std::string long_prompt(300, 'P'); // cut to 255
        cli_set_prompt(const_cast<char *>(long_prompt.c_str()));
        REQUIRE(strlen(cli_prompt) == 255);
        memset(s.user()->in_buf, 'i', 1700);
        s.user()->in_len = 1700;
        cli_reprint_prompt(s.user());
        const std::string got = zntest::drain(s.peer());
        REQUIRE(got == std::string(255, 'P') + std::string(1700, 'i'));
        cli_set_prompt(nullptr);
        REQUIRE(cli_prompt[0] == '\0');
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "> hel|");
}

} // namespace
