// The command registry: sorted lists, adding and removing, exact and prefix lookups.
#include <gtest/gtest.h>

#include <string>

#include "child.h"
#include "remote.h"
#include "session.h"

using zntest::report;
using zntest::run_in_child;

namespace {

int ok_handler(int, char **) { return 0; }

char *text(const char *s) { return const_cast<char *>(s); }

std::string names(const CmdEntry *head) {
    std::string all;
    for (const CmdEntry *e = head; e; e = e->next) {
        all += e->cmd;
        all += e->next ? (e->next->prev == e ? "," : "<broken>") : "";
    }
    return all;
}

TEST(Registry, ListsAreSortedWhateverTheOrderOfRegistration) {
    auto child = run_in_child([] {
        zntest::init_console(static_cast<ushort_t>(zntest::free_port()));
        report(names(CmdList) + "\n" + names(MsgCmdList) + "\n");
        REQUIRE(CmdList->prev == nullptr && CmdList_end->next == nullptr);
        REQUIRE(std::string(CmdList_end->cmd) == "tasks");
        REQUIRE(CliDebug.total_cmds == 14);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "?,bye,cli-debug,exit,help,history,logout,quit,sched-debug,shutdown,"
                            "sockets,tasks\n?,help\n");
}

TEST(Registry, WithoutAPortThereIsNoShutdownCommand) {
    auto child = run_in_child([] {
        zntest::init_console(0);
        REQUIRE(cli_find_cmd(text("shutdown")) == nullptr);
        REQUIRE(cli_accept_fd == -1 && cli_port == 0);
        REQUIRE(CliDebug.total_cmds == 13);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(Registry, AddingChecksOnlyTheTargetList) {
    auto child = run_in_child([] {
        REQUIRE(cli_add_cmd(text("early"), nullptr, nullptr, ok_handler, 0) == -1);
        REQUIRE(cli_remove_cmd(text("help")) == -1);
        zntest::init_console();
        REQUIRE(cli_add_cmd(text("help"), nullptr, nullptr, ok_handler, 0) == -17);
        REQUIRE(cli_add_cmd(text("talk"), nullptr, nullptr, ok_handler, CLI_CMD_MESSAGE) == 0);
        REQUIRE(cli_add_cmd(text("talk"), nullptr, nullptr, ok_handler, CLI_CMD_MESSAGE) == -17);
        REQUIRE(cli_add_cmd(text("talk"), nullptr, nullptr, ok_handler, 0) == 0);
        REQUIRE(cli_add_cmd(nullptr, nullptr, nullptr, ok_handler, 0) == -1);
        REQUIRE(cli_add_cmd(text(""), nullptr, nullptr, ok_handler, 0) == -1);
        report(names(MsgCmdList) + "\n");
        CmdEntry *plain = cli_find_cmd(text("talk")), *message = cli_find_message_cmd(text("talk"));
        REQUIRE(plain && message && plain != message);
        REQUIRE(plain->flags == 0 && message->flags == CLI_CMD_MESSAGE);
        REQUIRE(cli_find_message_cmd(text("history")) == nullptr);
        REQUIRE(cli_find_cmd(text("Help")) == nullptr);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "?,help,talk\n");
}

TEST(Registry, TextsAreCopiedAndEmptyOnesStoredAsNull) {
    auto child = run_in_child([] {
        zntest::init_console();
        char name[] = "copy", usage[] = "<x>", desc[] = "";
        REQUIRE(cli_add_cmd(name, usage, desc, ok_handler, 0x40) == 0);
        name[0] = usage[0] = 'Z';
        CmdEntry *e = cli_find_cmd(text("copy"));
        REQUIRE(e && e->cmd != name && std::string(e->usage) == "<x>" && e->desc == nullptr);
        REQUIRE(e->flags == 0x40 && e->handler == ok_handler);
        char empty_usage[] = "";
        REQUIRE(cli_add_cmd(text("bare"), empty_usage, nullptr, ok_handler, 0) == 0);
        REQUIRE(cli_find_cmd(text("bare"))->usage == nullptr);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(Registry, RemovingTakesOnlyOrdinaryCommandsByTheirOwnName) {
    auto child = run_in_child([] {
        zntest::init_console();
        const ulong_t before = CliDebug.total_cmds;
        REQUIRE(cli_remove_cmd(text("exit")) == 0);
        REQUIRE(cli_find_cmd(text("exit")) == nullptr && cli_find_cmd(text("quit")) != nullptr);
        REQUIRE(CliDebug.total_cmds == before - 1);
        REQUIRE(cli_add_cmd(text("only-msg"), nullptr, nullptr, ok_handler, CLI_CMD_MESSAGE) == 0);
        REQUIRE(cli_remove_cmd(text("only-msg")) == -2);
        REQUIRE(cli_remove_cmd(text("exit")) == -2);
        REQUIRE(cli_remove_cmd(nullptr) == -1 && cli_remove_cmd(text("")) == -1);
        REQUIRE(cli_remove_cmd(text("?")) == 0 && cli_remove_cmd(text("tasks")) == 0);
        report(names(CmdList) + "\n");
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "bye,cli-debug,help,history,logout,quit,sched-debug,sockets\n");
}

TEST(Registry, FirstTabCompletesOnlyUniqueVisiblePrefixes) {
    auto child = run_in_child([] {
        zntest::init_console();
        REQUIRE(cli_find_partial_cmd(text("h"), 1) == nullptr);
        REQUIRE(cli_find_partial_cmd(text("hi"), 1) == cli_find_cmd(text("history")));
        REQUIRE(cli_find_partial_cmd(text("by"), 1) == nullptr);
        REQUIRE(cli_find_partial_cmd(text("zz"), 1) == nullptr);
        REQUIRE(cli_find_partial_cmd(text(""), 1) == nullptr);
        REQUIRE(cli_find_partial_msg_cmd(text(""), 1) == cli_find_message_cmd(text("help")));
        REQUIRE(cli_find_partial_msg_cmd(text("he"), 1) == cli_find_message_cmd(text("help")));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(Registry, SecondTabOnEmptyLineGivesHelpSilently) {
    auto child = run_in_child([] {
        zntest::init_console();
        zntest::Session s;
        current_user = s.user();
        REQUIRE(cli_find_partial_cmd(text(""), 2) == cli_find_cmd(text("help")));
        REQUIRE(cli_find_partial_msg_cmd(text(""), 2) == cli_find_message_cmd(text("help")));
        report(zntest::drain(s.peer()));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "");
}

TEST(Registry, SecondTabListsMatchesFiveToARowAndRedisplaysTheLine) {
    auto child = run_in_child([] {
        zntest::init_console();
        for (const char *n : {"s1", "s2", "s3", "s4", "s5"})
            cli_add_cmd(text(n), nullptr, nullptr, ok_handler, 0);
        cli_add_cmd(text("sh-hidden"), nullptr, nullptr, ok_handler, CLI_CMD_HIDDEN);
        zntest::Session s;
        s.user()->in_buf[0] = 's';
        s.user()->in_len = 1;
        current_user = s.user();
        REQUIRE(cli_find_partial_cmd(text("s"), 2) == nullptr);
        report(zntest::drain(s.peer()));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\n"
                            "s1              s2              s3              s4              s5              \n"
                            "sched-debug     sockets         \n"
                            "> s");
}

TEST(Registry, ListingFillingWholeRowsEndsWithoutAnEmptyLine) {
    auto child = run_in_child([] {
        zntest::init_console();
        for (const char *n : {"x1", "x2", "x3", "x4", "x5"})
            cli_add_cmd(text(n), nullptr, nullptr, ok_handler, 0);
        zntest::Session s;
        current_user = s.user();
        s.user()->in_buf[0] = 'x';
        s.user()->in_len = 1;
        cli_find_partial_cmd(text("x"), 2);
        report(zntest::drain(s.peer()));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output,
              "\nx1              x2              x3              x4              x5              \n> x");
}

// A command that removes itself: the dispatcher still reads its usage text.
int remove_myself(int, char **) {
    cli_remove_cmd(text("vanish"));
    return -1;
}

TEST(Registry, CommandRemovedByItsOwnHandlerStillGetsItsUsageLine) {
    auto child = run_in_child([] {
        zntest::init_console();
        cli_add_cmd(text("vanish"), text("<never>"), nullptr, remove_myself, 0);
        zntest::Session s;
        report(s.type("vanish\n"));
        REQUIRE(cli_find_cmd(text("vanish")) == nullptr);
        report(s.type("vanish\n"));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\nUsage:  vanish <never>\n> "
                            "\nCommand \"vanish\" was not found\n> ");
}

} // namespace
