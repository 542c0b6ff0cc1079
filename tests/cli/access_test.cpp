// Who may run what: the permission hook at dispatch, in help and in Tab completion, and the users' credentials.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <set>
#include <string>

#include "child.h"
#include "remote.h"
#include "session.h"

using zntest::report;
using zntest::run_in_child;
using zntest::Session;

namespace {

char *text(const char *s) { return const_cast<char *>(s); }

int say_ran(int, char **argv) {
    cli_printf(text("%s ran\n"), argv[0]);
    return 0;
}

// Handlers of their own, for the alias rule.
int list_things(int argc, char **argv) { return say_ran(argc, argv); }
int list_long(int argc, char **argv) { return say_ran(argc, argv); }

// What the hook was asked, "name;" each, and the names it allows.
std::string asked;
std::set<std::string> allowed_names;

int allow_listed(CmdUser *up, const char *cmd) {
    REQUIRE(up == current_user);
    asked += std::string(cmd) + ";";
    return allowed_names.count(cmd) ? 1 : 0;
}

// The console with "list" and its hidden alias "ls", the hidden "ll" with
// a handler of its own, "look", "erase", "shutdown" (a port is open) and
// the message command "ping"; the hook allows only the names given.
void setup(std::set<std::string> names) {
    zntest::init_console(static_cast<ushort_t>(zntest::free_port()));
    cli_add_cmd(text("list"), nullptr, text("List things"), list_things, 0);
    cli_add_cmd(text("ls"), nullptr, nullptr, list_things, CLI_CMD_HIDDEN);
    cli_add_cmd(text("ll"), nullptr, nullptr, list_long, CLI_CMD_HIDDEN);
    cli_add_cmd(text("look"), nullptr, text("Look around"), say_ran, 0);
    cli_add_cmd(text("erase"), nullptr, text("Erase everything"), say_ran, 0);
    cli_add_cmd(text("ping"), nullptr, nullptr, say_ran, CLI_CMD_MESSAGE);
    allowed_names = std::move(names);
    cli_set_permission(allow_listed);
}

TEST(Permission, RefusalAnswersPermissionDeniedAndRunsNothing) {
    auto child = run_in_child([] {
        setup({"look", "history"});
        Session s;
        zntest::DebugPipe debug;
        report(s.script({"erase\n", "look\n"}) + "|" + asked + "|");
        const std::string fd = "[FD " + std::to_string(s.fd()) + "]";
        REQUIRE(debug.take() == "cli_receive_data: " + fd + " Received Command \"erase\" - Permission denied\n"
                                "cli_receive_data: " + fd + " Received Command \"look\" - Found, Executing..\n");
        cli_set_debug(0, -1);
        report(s.type("history\n"));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\nPermission denied\n> |\nlook ran\n> |erase;look;|"
                            "\nCommand History:\n   [ 1] erase\n   [ 2] look\n   [ 3] history\n> ");
}

TEST(Permission, NoHookAllowsEverything) {
    auto child = run_in_child([] {
        setup({});
        cli_set_permission(nullptr);
        Session s;
        report(s.type("erase\n") + "|");
        report(asked);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\nerase ran\n> |");
}

TEST(Permission, LeavingAndHelpAreAlwaysAllowedWithoutAsking) {
    auto child = run_in_child([] {
        setup({});
        Session s;
        report(s.script({"help\n", "? x\n"}) + "|");
        s.type("exit\n");
        REQUIRE(cli_find_user(s.fd(), s.fd(), CLI_MATCH_BOTH) == nullptr);
        for (const char *name : {"help;", "?;", "quit;", "exit;"})
            REQUIRE(asked.find(name) == std::string::npos);
        REQUIRE(asked.find("erase;") != std::string::npos); // help asked about the others
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    // Nothing but help and quit is allowed: help lists just them.
    EXPECT_EQ(child.output, "\nNote: Use help [cmd] to get help on spcified command, or\n"
                            "      use help -v to see description of all commands.\n\n"
                            "help            quit            \n> |"
                            "\n   help            This displays all commands\n"
                            "   quit            Quit\n> |");
}

TEST(Permission, AskedWithTheNameAfterHistoryExpansion) {
    auto child = run_in_child([] {
        setup({"look", "history"});
        Session s;
        s.type("look\n");
        s.type("erase\n");
        asked.clear();
        report(s.script({"!!\n", "!1\n"}) + "|");
        report(asked);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\nerase\nPermission denied\n> |\nlook\nlook ran\n> |erase;look;");
}

TEST(Permission, HiddenAliasesFollowTheCommandTheyAlias) {
    auto child = run_in_child([] {
        setup({"list"});
        Session s;
        report(s.type("ls\n") + "|");
        report(asked + "|");
        allowed_names = {"ls"};
        asked.clear();
        report(s.script({"ls\n", "ll\n"}) + "|");
        report(asked);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    // "ls" runs list's handler and is asked about as "list"; "ll" runs a
    // handler of its own and is asked about by its own name.
    EXPECT_EQ(child.output, "\nls ran\n> |list;|\nPermission denied\n> |\nPermission denied\n> |list;ll;");
}

TEST(Permission, MessageCommandsAreAskedAboutWithoutTheirSlash) {
    auto child = run_in_child([] {
        setup({});
        Session s;
        s.user()->state = CLI_STATE_MESSAGE;
        report(s.script({"/ping\n", "/help\n"}) + "|");
        report(asked + "|");
        allowed_names = {"ping"};
        report(s.type("/ping\n"));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\nPermission denied\n> |\nNote: Use /help [cmd] to get help on spcified command, or\n"
                            "      use /help -v to see description of all commands.\n\n"
                            "/help            \n> |ping;ping;|\nping ran\n> ")
        << "the help listing asked about ping as well";
}

TEST(Permission, HelpShowsOnlyWhatTheUserMayRun) {
    auto child = run_in_child([] {
        setup({"look", "list"});
        Session s;
        report(s.script({"help\n", "help -v\n", "help erase\n", "help ls\n"}));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output,
              "\nNote: Use help [cmd] to get help on spcified command, or\n"
              "      use help -v to see description of all commands.\n\n"
              "help            list            look            quit            \n> |"
              "\n   help            This displays all commands\n"
              "   list            List things\n"
              "   look            Look around\n"
              "   quit            Quit\n> |"
              "\nUnable to find any help on that command\n> |"
              "\nUsage: ls <no args>\n   [No Description Available]\n> ");
}

TEST(Permission, TabCompletesAndListsOnlyWhatTheUserMayRun) {
    auto child = run_in_child([] {
        setup({"look", "erase", "sockets"});
        Session s;
        // "l": list is refused, so look is the single match.
        report(s.script({"l", "\t", "\x15"}) + "|");
        // "s": sched-debug and shutdown are refused, sockets is offered.
        report(s.script({"s", "\t", "\x15"}) + "|");
        allowed_names = {"look", "list", "sched-debug", "sockets"};
        report(s.script({"l", "\t", "\t", "\x15", "s", "\t", "\t"}));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "l|ook |\b \b\b \b\b \b\b \b\b \b|s|ockets |\b \b\b \b\b \b\b \b\b \b\b \b\b \b\b \b|"
                            "l||\nlist            look            \n> l|\b \b|s|"
                            "|\nsched-debug     sockets         \n> s");
}

TEST(Credentials, TheConsoleIsThisProcessAndOtherUsersHaveNone) {
    auto child = run_in_child([] {
        zntest::init_console();
        REQUIRE(cli_add_console(nullptr, nullptr) == 0);
        uid_t uid = 1;
        gid_t gid = 1;
        pid_t pid = 1;
        REQUIRE(cli_user_credentials(CmdUserList, &uid, &gid, &pid) == 0);
        REQUIRE(uid == geteuid() && gid == getegid() && pid == getpid());
        REQUIRE(cli_user_credentials(CmdUserList, nullptr, nullptr, nullptr) == 0);
        Session s; // added by the application: no peer known
        uid = 7;
        REQUIRE(cli_user_credentials(s.user(), &uid, nullptr, nullptr) == -1 && uid == 7);
        REQUIRE(cli_user_credentials(nullptr, &uid, nullptr, nullptr) == -1);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

} // namespace
