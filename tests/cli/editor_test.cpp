// Input lines and the line editor: the handshake, echo, editing keys, completion, history, states and limits.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "child.h"
#include "session.h"

using zntest::report;
using zntest::run_in_child;
using zntest::Session;

namespace {

char *text(const char *s) { return const_cast<char *>(s); }

// Prints "<name> ran" with the further words.
int say_ran(int argc, char **argv) {
    std::string line = std::string(argv[0]) + " ran";
    for (int i = 1; i < argc; ++i)
        line += std::string(" ") + argv[i];
    cli_printf(text("%s\n"), line.c_str());
    return 0;
}

int wrong_usage(int, char **) { return -1; }
int gone(int, char **) { return -2; }

int got_string(void *arg, char *line) {
    cli_printf(text("got [%s] for %s\n"), line, static_cast<char *>(arg));
    return 0;
}

char ask_arg[] = "ask";
int ask(int, char **) {
    REQUIRE(cli_getstr(current_user, got_string, ask_arg) == 0);
    REQUIRE(cli_getstr(current_user, got_string, ask_arg) == -1); // one at a time
    cli_printf(text("%s"), text("Name? "));
    return 0;
}

// The console with the test commands: alpha, beta, gamma (say_ran), ask,
// dbopen (usage "<db> <dir>", always wrong), bare (wrong, no usage), gone
// (ends the user).
void setup() {
    zntest::init_console();
    for (const char *n : {"alpha", "beta", "gamma"})
        cli_add_cmd(text(n), nullptr, nullptr, say_ran, 0);
    cli_add_cmd(text("ask"), nullptr, nullptr, ask, 0);
    cli_add_cmd(text("dbopen"), text("<db> <dir>"), nullptr, wrong_usage, 0);
    cli_add_cmd(text("bare"), nullptr, nullptr, wrong_usage, 0);
    cli_add_cmd(text("gone"), nullptr, nullptr, gone, 0);
}

TEST(Editor, EchoesByteByByteAndCompletesOnTab) {
    auto child = run_in_child([] {
        setup();
        Session s;
        report(s.script({"h", "i", "\t", "\r"}));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "h|i|story |\nCommand History:\n   [ 1] history \n> ");
}

TEST(Editor, WholeLineInOneReadEchoesOnlyTheLineEnd) {
    auto child = run_in_child([] {
        setup();
        Session s;
        report(s.type("alpha one two\r\n"));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\nalpha ran one two\n> ");
}

TEST(Editor, BackspaceRemovesTheLastByte) {
    auto child = run_in_child([] {
        setup();
        Session s;
        report(s.type_bytewise("alphx") + "|");
        report(s.script({"\x7f", "a", "\x08", "a\r", "\x7f", "\x7f"}));
        REQUIRE(s.user()->in_len == 0);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "alphx|\b \b|a|\b \b|\nalpha ran\n> ||");
}

TEST(Editor, ControlCAndControlUEraseTheEchoedLine) {
    auto child = run_in_child([] {
        setup();
        Session s;
        s.type_bytewise("shutdo");
        report(s.type("\x15") + "|");
        s.type("xy");
        report(s.script({"\x03", "beta\n"}));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\b \b\b \b\b \b\b \b\b \b\b \b|\b \b\b \b|\nbeta ran\n> ");
}

TEST(Editor, ControlDTypesQuit) {
    auto child = run_in_child([] {
        setup();
        Session s;
        s.type("ab");
        report(s.type("\x04"));
        REQUIRE(SchedShutdown == 1); // quit without a port stops the program
        REQUIRE(std::string(s.user()->history[0]) == "quit" && s.user()->history_used == 1);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\b \b\b \bquit\nGoodbye!\n");
}

TEST(Editor, EmptyLineGivesThePromptAndIsNotRecorded) {
    auto child = run_in_child([] {
        setup();
        Session s;
        report(s.script({"\n", "   \r"}));
        REQUIRE(s.user()->history_used == 1); // the blank line is text, and recorded
        REQUIRE(std::string(s.user()->history[0]) == "   ");
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\n> |\n> ");
}

TEST(Editor, HistoryExpansion) {
    auto child = run_in_child([] {
        setup();
        Session s;
        for (const char *line : {"alpha\n", "beta\n", "gamma x\n"})
            s.type(line);
        for (const char *line : {"!!\n", "!1\n", "!be\n", "!0\n", "!11\n", "!zz\n", "!\n"})
            report(s.type(line) + "|");
        REQUIRE(s.user()->history_used == 3 && s.user()->history_ptr == 3);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\ngamma x\ngamma ran x\n> |"
                            "\nalpha\nalpha ran\n> |"
                            "\nbeta\nbeta ran\n> |"
                            "\nInvalid history range\n> |"
                            "\nInvalid history range\n> |"
                            "\nNo Previous Commands matched query\n> |"
                            "\n\n> |"); // "!" alone matches the empty slot after the newest
}

TEST(Editor, FullRingNumbersTheOldestLineOne) {
    auto child = run_in_child([] {
        setup();
        Session s;
        for (int i = 1; i <= 12; ++i)
            s.type("alpha " + std::to_string(i) + "\n");
        report(s.type("!1\n"));
        report(s.type("history\n"));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\nalpha 3\nalpha ran 3\n> "
                            "\nCommand History:\n"
                            "   [ 1] alpha 4\n   [ 2] alpha 5\n   [ 3] alpha 6\n   [ 4] alpha 7\n"
                            "   [ 5] alpha 8\n   [ 6] alpha 9\n   [ 7] alpha 10\n   [ 8] alpha 11\n"
                            "   [ 9] alpha 12\n   [10] history\n> ");
}

TEST(Editor, LongLinesAreCutInTheHistory) {
    auto child = run_in_child([] {
        setup();
        Session s;
        s.type("alpha " + std::string(400, 'x') + "\n");
        REQUIRE(std::string(s.user()->history[0]) == "alpha " + std::string(249, 'x'));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(Editor, ArrowKeysWalkTheHistory) {
    auto child = run_in_child([] {
        setup();
        Session s;
        s.type("alpha\n");
        s.type("beta\n");
        const std::string up = "\x1b[A", down = "\x1b[B";
        for (const std::string &key : {up, up, up, up, down})
            report(s.type(key) + "|");
        report(s.type("\r"));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "beta|"
                            "\b \b\b \b\b \b\b \balpha|"
                            "\b \b\b \b\b \b\b \b\b \b|"
                            "beta|"
                            "\b \b\b \b\b \b\b \b|" // down at the newest: emptied
                            "\n> ");
}

TEST(Editor, SideArrowsAndSplitSequencesAreDropped) {
    auto child = run_in_child([] {
        setup();
        Session s;
        report(s.script({"al", "\x1b[Cxyz", "pha\n"}));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "al||\nalpha ran\n> ");
}

TEST(Editor, NotFoundAndUsageLines) {
    auto child = run_in_child([] {
        setup();
        Session s;
        report(s.script({"dbopen x\n", "bare\n", "nosuch a b\n"}) + "|");
        const std::string word(199, 'w');
        report(s.type(word + "\n"));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\nUsage:  dbopen <db> <dir>\n> |"
                            "\nUsage:  bare <no args>\n> |"
                            "\nCommand \"nosuch\" was not found\n> |"
                            "\nCommand \"" + std::string(199, 'w') + "\" was not found\n> ");
}

TEST(Editor, HandlerEndingTheUserGetsNoPrompt) {
    auto child = run_in_child([] {
        setup();
        Session s;
        REQUIRE(cli_receive_data(s.user()) == 0);
        s.user()->in_len = 5;
        memcpy(s.user()->in_buf, "gone\n", 5);
        current_user = s.user();
        REQUIRE(cli_receive_data(s.user()) == -2);
        REQUIRE(s.user()->in_len == 0);
        report(zntest::drain(s.peer()));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\n");
}

TEST(Editor, LineWithTooManyWordsIsRefused) {
    auto child = run_in_child([] {
        setup();
        Session s;
        std::string line = "alpha";
        for (int i = 0; i < 25; ++i)
            line += " w";
        report(s.type(line + "\n"));
        report(s.type("alpha " + std::string(300, 'q') + "\n"));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\nCommand line too long\n> \nCommand line too long\n> ");
}

TEST(Editor, OverlongLineIsDiscardedUpToItsEnd) {
    auto child = run_in_child([] {
        setup();
        Session s;
        const std::string full(2048, 'x');
        report(s.type(full) + "|");
        REQUIRE(s.user()->in_len == 0);
        report(s.type(std::string(3000, 'y')) + "|");
        report(s.type("junk\r\nalpha\n"));
        report(s.type("beta\n"));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, std::string(2048, 'x') + "Input line too long, discarded\n> |"
                            "|"
                            "\nalpha ran\n> "
                            "\nbeta ran\n> ");
}

TEST(Editor, StringRequestTakesTheNextLine) {
    auto child = run_in_child([] {
        setup();
        Session s;
        report(s.type("ask\n") + "|");
        REQUIRE(s.user()->state == CLI_STATE_GETSTR);
        report(s.script({"\t\x1b[A", "Bob\n"}) + "|");
        REQUIRE(s.user()->state == CLI_STATE_COMMAND && s.user()->history_used == 1);
        REQUIRE(cli_getstr(nullptr, got_string, nullptr) == -1);
        REQUIRE(cli_getstr(s.user(), nullptr, nullptr) == -1);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\nName? ||\ngot [Bob] for ask\n> |");
}

std::string hooked; // what the hook saw of message lines

int hook(uchar_t type, CmdUser *up, void *buf, int len) {
    if (type == CLI_OUT_MESSAGE) {
        hooked += "[" + std::to_string(len) + ":" + std::string(static_cast<char *>(buf), len) + "]";
        return 0;
    }
    return static_cast<int>(write(up->out_fd, buf, static_cast<size_t>(len)));
}

TEST(Editor, MessageStateRunsSlashCommandsAndHandsOtherLinesToTheHook) {
    auto child = run_in_child([] {
        setup();
        Session s(true, hook);
        s.user()->state = CLI_STATE_MESSAGE;
        report(s.script({"/", "\t", "\n"}) + "|");
        cli_add_cmd(text("ping"), nullptr, nullptr, say_ran, CLI_CMD_MESSAGE);
        report(s.script({"hello\n", "/ping 1\n", "/alpha\n"}) + "|");
        report(s.script({"/", "\t", "\t"}) + "|");
        report(s.type("\x04"));
        report("|" + hooked);
        REQUIRE(s.user()->history_used == 0);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "/|help |\n"
                            "Note: Use /help [cmd] to get help on spcified command, or\n"
                            "      use /help -v to see description of all commands.\n\n"
                            "/help            \n> |"
                            "\n> |\nping ran 1\n> |\nCommand \"alpha\" was not found\n> |"
                            "/||help |" // a second Tab on a bare "/" completes to help
                            "\b \b\b \b\b \b\b \b\b \b\b \bquit\nCommand \"quit\" was not found\n> "
                            "|[5:hello]");
}

TEST(Lines, MessageStatesTakeEveryLineOfARead) {
    auto child = run_in_child([] {
        setup();
        cli_add_cmd(text("ping"), nullptr, nullptr, say_ran, CLI_CMD_MESSAGE);
        Session s(true, hook);
        s.user()->state = CLI_STATE_MESSAGE;
        report(s.type("hello\n/ping 1\nworld\n") + "|");
        s.user()->state = CLI_STATE_MESSAGE_ONLY;
        report(s.type("a\n/ping\nb\n") + "|" + hooked);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\n> \nping ran 1\n> \n> |\n> \n> \n> |[5:hello][5:world][1:a][5:/ping][1:b]");
}

TEST(Editor, MessageOnlyStateHandsEveryLineToTheHook) {
    auto child = run_in_child([] {
        setup();
        Session s(true, hook);
        s.user()->state = CLI_STATE_MESSAGE_ONLY;
        report(s.script({"/ping\n", "ab\t", "\x04", "c\n"}));
        report("|" + hooked);
        REQUIRE(s.user()->history_used == 2);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\n> |||\n> |[5:/ping][1:c]");
}

const std::string kHandshakeValue("\x5C\x1E\x7A\x93", 4);
const std::string kAckValue = "\x3D\x96\xB2\xE4";

TEST(Handshake, IsGatheredOverReadsAndJudgedAtItsFourthByte) {
    auto child = run_in_child([] {
        setup();
        zntest::DebugPipe debug;
        Session s(false);
        report(s.type_bytewise(std::string("\0\0\0", 3)) + "|");
        REQUIRE(s.user()->state == CLI_STATE_MAGIC && s.user()->in_len == 3);
        REQUIRE(debug.count("Got Invalid MAGIC number") == 0);
        report(s.type("\x01") + "|");
        REQUIRE(debug.count("Got Invalid MAGIC number [0x00000001]") == 1);
        REQUIRE(s.user()->state == CLI_STATE_MAGIC && s.user()->in_len == 0);
        report(s.type_bytewise(kHandshakeValue) + "|");
        REQUIRE(s.user()->state == CLI_STATE_COMMAND && debug.count("Got Valid MAGIC number") == 1);
        report(s.type("alpha\n"));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "||" + kAckValue + "> |\nalpha ran\n> ");
}

TEST(Handshake, InputBehindTheValueIsHandledAfterTheAcknowledgementAndThePrompt) {
    auto child = run_in_child([] {
        setup();
        Session whole(false), split(false), wrong(false);
        report(whole.type(kHandshakeValue + "alpha 1\nbeta\ngam") + "|");
        report(split.type(kHandshakeValue.substr(0, 2)) + "|");
        report(split.type(kHandshakeValue.substr(2) + "beta 2\n") + "|");
        // A wrong value takes the rest of its read along.
        report(wrong.type("HELO" + kHandshakeValue + "alpha\n"));
        REQUIRE(wrong.user()->state == CLI_STATE_MAGIC && wrong.user()->in_len == 0);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, kAckValue + "> \nalpha ran 1\n> \nbeta ran\n> gam|" + "|" + kAckValue +
                                "> \nbeta ran 2\n> |");
}

TEST(Lines, SeveralLinesInOneReadRunInTurn) {
    auto child = run_in_child([] {
        setup();
        Session s;
        report(s.type("alpha 1\nbeta 2\n") + "|");
        report(s.type("alpha\rbeta\r\ngamma\n") + "|");
        std::string fifty;
        for (int i = 0; i < 50; ++i)
            fifty += "alpha " + std::to_string(i) + "\n";
        const std::string got = s.type(fifty);
        std::string expected;
        for (int i = 0; i < 50; ++i)
            expected += "\nalpha ran " + std::to_string(i) + "\n> ";
        REQUIRE(got == expected);
        REQUIRE(s.user()->history_ptr == 5 && std::string(s.user()->history[4]) == "alpha 49");
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\nalpha ran 1\n> \nbeta ran 2\n> |"
                            "\nalpha ran\n> \nbeta ran\n> \ngamma ran\n> |");
}

TEST(Lines, UnfinishedLastLineIsEchoedAndKept) {
    auto child = run_in_child([] {
        setup();
        Session s;
        report(s.script({"alpha 1\nbe", "ta 2\ngam", "ma 3\n"}));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\nalpha ran 1\n> be|\nbeta ran 2\n> gam|\ngamma ran 3\n> ");
}

TEST(Lines, CrLfIsOneLineEndAlsoAcrossReads) {
    auto child = run_in_child([] {
        setup();
        Session s;
        // CR | LF; LF alone; LF then CR (two ends) | LF; CR LF CR LF.
        report(s.script({"alpha\r", "\nbeta\n", "\n", "gamma\n\r", "\n", "\r\n\r\n"}));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\nalpha ran\n> |\nbeta ran\n> |\n> |\ngamma ran\n> \n> ||\n> \n> ");
}

// Keys typed faster than they are read: what a key drops is the rest of the
// typed text, never the line end, so the next line stays a line of its own.
TEST(Lines, EditingKeysWithinAReadKeepItsLineEnds) {
    auto child = run_in_child([] {
        setup();
        Session s;
        report(s.type("alpha ab\x7f" "c\nbeta\n") + "|");
        report(s.type("gamma x\x15zz\nalpha\n") + "|");
        report(s.type("bet\tq\r\ngamma\n") + "|");
        report(s.type("al\x1b[Dq\nbeta 3\n") + "|");
        s.type("alp");
        report(s.type("hax\x7f\n") + "|");
        // The bytes before a Tab that completes nothing are shown, and the
        // next Tab is the second one.
        report(s.script({"b\t", "\t", "\x15"}));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "alpha a\nalpha ran a\n> \nbeta ran\n> |"
                            "\n> \nalpha ran\n> |"
                            "beta \nbeta ran\n> \ngamma ran\n> |"
                            "\n> \nbeta ran 3\n> |"
                            "ha\nalpha ran\n> |"
                            "b|\nbare            beta            \n> b|\b \b");
}

TEST(Lines, HistoryRecallAndStringRequestWithinARead) {
    auto child = run_in_child([] {
        setup();
        Session s;
        report(s.type("alpha 1\n!!\nask\nBob\n!al\nhistory\n"));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\nalpha ran 1\n> "
                            "\nalpha 1\nalpha ran 1\n> "
                            "\nName? "
                            "\ngot [Bob] for ask\n> "
                            "\nalpha 1\nalpha ran 1\n> "
                            "\nCommand History:\n   [ 1] alpha 1\n   [ 2] ask\n   [ 3] history\n> ");
}

TEST(Lines, HandlerEndingTheUserOrProgramDropsTheRestOfTheRead) {
    auto child = run_in_child([] {
        setup();
        Session s;
        report(s.type("alpha\ngone\nbeta\n") + "|");
        REQUIRE(s.user()->in_len == 0);
        report(s.type("beta\n"));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\nalpha ran\n> \n|\nbeta ran\n> ");
}

TEST(Lines, OverlongLineIsRefusedAloneAndTheLinesAroundItRun) {
    auto child = run_in_child([] {
        setup();
        Session s;
        report(s.type_all("alpha 1\n" + std::string(3000, 'x') + "\nbeta 2\n") + "|");
        // 2047 bytes and CR LF fit; the LF comes in the next read.
        report(s.type_all("alpha" + std::string(2042, ' ') + "\r\ngamma\n"));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\nalpha ran 1\n> " + std::string(2048, 'x') +
                                "Input line too long, discarded\n> \nbeta ran 2\n> |"
                                "\nalpha ran\n> \ngamma ran\n> ");
}

TEST(Editor, PerByteTraceAtMaximumDebugLevel) {
    auto child = run_in_child([] {
        setup();
        Session s;
        cli_set_debug(2, zntest::report_fd());
        s.type("a");
        cli_set_debug(0, -1);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "cli_receive_data: Processing Char 0x61, 'a'\n");
}

} // namespace
