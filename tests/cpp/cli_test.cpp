// zn/cli.hpp: commands, output and questions, typed by a console user and run by the loop.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>

#include "child.h"
#include "session.h"
#include "zn/cli.hpp"
#include "zn/sched.hpp"

using zntest::report;
using zntest::run_in_child;
using zntest::Session;

namespace {

// Sends line from the user's side and lets the loop run one pass; returns
// what the user was sent.
std::string typed(Session &s, const std::string &line) {
    REQUIRE(write(s.peer(), line.data(), line.size()) == static_cast<ssize_t>(line.size()));
    zn::task stop = zn::immediate("stop", [] { zn::stop_loop(); });
    zn::loop();
    return zntest::drain(s.peer());
}

// Types each line in turn; the replies joined by "|".
std::string typed_lines(Session &s, std::initializer_list<std::string> lines) {
    std::string out;
    for (const std::string &line : lines)
        out += (out.empty() ? "" : "|") + typed(s, line);
    return out;
}

zn::result say_done(zn::words) { return zn::done; }

TEST(CppCommand, CallableRunsWithItsStateAndTheWords) {
    auto child = run_in_child([] {
        zntest::init_console();
        Session user;
        int calls = 0;
        zn::command count("count", "[words...]", "Count calls", [&calls](zn::words w) {
            zn::print("call {} of {}:", ++calls, w[0]);
            for (std::string_view word : w.subspan(1))
                zn::print(" [{}]", word);
            zn::print("\n");
            return zn::done;
        });
        REQUIRE(count && count.error() == 0);
        REQUIRE(cli_find_cmd(const_cast<char *>("count")) != nullptr);
        report(typed_lines(user, {"count\n", "count one \"two three\"\n"}));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\ncall 1 of count:\n> |\ncall 2 of count: [one] [two three]\n> ");
}

TEST(CppCommand, ResultsMapOntoTheConsolesHandlerResults) {
    auto child = run_in_child([] {
        zntest::init_console();
        Session user;
        zn::command wrong("wrong", "<name> <dir>", "Always wrong", [](zn::words) { return zn::usage; });
        zn::command done("done", "", "", say_done);
        zn::command leave("leave", "", "", [](zn::words) {
            cli_remove_user(current_user->in_fd, current_user->out_fd, CLI_MATCH_BOTH);
            return zn::gone;
        });
        REQUIRE(static_cast<int>(zn::done) == 0 && static_cast<int>(zn::usage) == -1 &&
                static_cast<int>(zn::gone) == -2);
        report(typed_lines(user, {"wrong\n", "done\n", "leave\n"}));
        REQUIRE(cli_find_user(user.fd(), user.fd(), CLI_MATCH_BOTH) == nullptr);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\nUsage:  wrong <name> <dir>\n> |\n> |");
}

TEST(CppCommand, DestroyedAndMovedHandles) {
    auto child = run_in_child([] {
        zntest::init_console();
        Session user;
        auto state = std::make_shared<int>(0);
        {
            zn::command first("first", "", "", [state](zn::words) { return zn::done; });
            zn::command moved = std::move(first);
            first.remove(); // moved from: the command stays
            REQUIRE(!first && moved && cli_find_cmd(const_cast<char *>("first")) != nullptr);
            REQUIRE(state.use_count() == 2);
            zn::command again("first", "", "", [state](zn::words) { return zn::done; });
            REQUIRE(!again && again.error() == -17 && state.use_count() == 2);
        }
        REQUIRE(cli_find_cmd(const_cast<char *>("first")) == nullptr && state.use_count() == 1);
        report(typed(user, "first\n"));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\nCommand \"first\" was not found\n> ");
}

int foreign(int, char **) {
    cli_printf(const_cast<char *>("foreign\n"));
    return 0;
}

TEST(CppCommand, ANameTakenOverBehindTheHandleIsLeftAlone) {
    auto child = run_in_child([] {
        zntest::init_console();
        Session user;
        zn::command mine("name", "", "", say_done);
        REQUIRE(cli_remove_cmd(const_cast<char *>("name")) == 0);
        REQUIRE(cli_add_cmd(const_cast<char *>("name"), nullptr, nullptr, foreign, 0) == 0);
        mine.remove();
        REQUIRE(cli_find_cmd(const_cast<char *>("name"))->handler == foreign);
        // Registered again through the C++ interface after a C removal.
        REQUIRE(cli_remove_cmd(const_cast<char *>("name")) == 0);
        zn::command old("name", "", "", [](zn::words) { return zn::done; });
        REQUIRE(cli_remove_cmd(const_cast<char *>("name")) == 0);
        zn::command current("name", "", "", [](zn::words) {
            zn::print("current\n");
            return zn::done;
        });
        old.remove();
        report(typed(user, "name\n"));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\ncurrent\n> ");
}

TEST(CppCommand, ACommandMayRemoveItselfWhileItRuns) {
    auto child = run_in_child([] {
        zntest::init_console();
        Session user;
        zn::command once;
        once = zn::command("once", "", "", [&once, text = std::string(64, 'z')](zn::words) {
            once.remove();
            zn::print("{}\n", text.substr(0, 4));
            return zn::done;
        });
        report(typed_lines(user, {"once\n", "once\n"}));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\nzzzz\n> |\nCommand \"once\" was not found\n> ");
}

TEST(CppPrint, ShowsArgumentsAsStdFormatDoes) {
    auto child = run_in_child([] {
        zntest::init_console();
        Session user;
        zn::command show("show", "", "", [](zn::words) {
            const std::string text = "string";
            const char *c_text = "c string";
            char letter = 'x';
            zn::print("{} {} {} {} {}|", 42, -7, 18446744073709551615ULL, 'c', letter);
            zn::print("{} {} {} {}|", 0.1, 1e100, -2.5f, 3.0);
            zn::print("{} {} {} {}|", true, false, static_cast<unsigned char>(65), static_cast<short>(-1));
            zn::print("{} {} {} {}|", text, c_text, std::string_view("view"), "literal");
            zn::print("{} {}|", static_cast<const void *>(nullptr), nullptr);
            zn::print("{{}} {{{}}} }}{{\n", 1);
            return zn::done;
        });
        report(typed(user, "show\n"));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\n42 -7 18446744073709551615 c x|0.1 1e+100 -2.5 3|"
                            "true false 65 -1|string c string view literal|0x0 0x0|{} {1} }{\n> ");
}

TEST(CppPrint, WritesOnlyToACurrentUserAndAtMost2047Bytes) {
    auto child = run_in_child([] {
        zntest::init_console();
        Session user;
        REQUIRE(zn::print("nobody {}\n", 1) == -1);
        int length = 0;
        zn::command big("big", "", "", [&length](zn::words) {
            length = zn::print("{}{}", std::string(2000, 'a'), std::string(100, 'b'));
            return zn::done;
        });
        const std::string out = typed(user, "big\n");
        REQUIRE(length == 2047);
        REQUIRE(out == "\n" + std::string(2000, 'a') + std::string(47, 'b') + "> ");
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

TEST(CppAsk, TheNextLineGoesToTheCallable) {
    auto child = run_in_child([] {
        zntest::init_console();
        Session user;
        std::string asked_by;
        zn::command name("name", "", "", [&asked_by](zn::words w) {
            asked_by = w[0];
            REQUIRE(zn::ask(current_user, [&asked_by](std::string_view line) {
                zn::print("{} asked, {} answered\n", asked_by, line);
                return zn::done;
            }));
            REQUIRE(!zn::ask(current_user, [](std::string_view) { return zn::done; }));
            zn::print("Your name? ");
            return zn::done;
        });
        report(typed_lines(user, {"name\n", "Ada\n", "name\n"}));
        REQUIRE(!zn::ask(nullptr, [](std::string_view) { return zn::done; }));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\nYour name? |\nname asked, Ada answered\n> |\nYour name? ");
}

TEST(CppAsk, AQuestionLeftUnansweredByAUserWhoWentIsReleased) {
    auto child = run_in_child([] {
        zntest::init_console();
        auto state = std::make_shared<int>(0);
        auto first = std::make_unique<Session>();
        REQUIRE(zn::ask(first->user(), [state](std::string_view) { return zn::done; }));
        REQUIRE(state.use_count() == 2);
        REQUIRE(cli_remove_user(first->fd(), first->fd(), CLI_MATCH_BOTH) == 0);
        Session second;
        REQUIRE(zn::ask(second.user(), [](std::string_view) { return zn::gone; }));
        REQUIRE(state.use_count() == 1);
        // Answered with zn::gone: no prompt follows.
        report(typed(second, "bye\n") + "|");
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\n|");
}

TEST(CppPermission, TheCallableDecidesWhileItsHandleIsInForce) {
    auto child = run_in_child([] {
        zntest::init_console();
        Session user;
        zn::command look("look", "", "", say_done);
        zn::command erase("erase", "", "", [](zn::words) {
            zn::print("erased\n");
            return zn::done;
        });
        std::string asked;
        {
            zn::console_permission only_look([&asked](CmdUser *who, std::string_view cmd) {
                REQUIRE(who == current_user);
                asked += std::string(cmd) + ";";
                return cmd == "look";
            });
            REQUIRE(only_look && only_look.in_force());
            report(typed_lines(user, {"erase\n", "look\n"}) + "|" + asked + "|");
        }
        // Destroyed: everything is allowed again.
        report(typed(user, "erase\n"));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\nPermission denied\n> |\n> |erase;look;|\nerased\n> ");
}

TEST(CppPermission, ANewPermissionReplacesTheOneBeforeAndMovesKeepIt) {
    auto child = run_in_child([] {
        zntest::init_console();
        Session user;
        zn::command erase("erase", "", "", say_done);
        auto refuse = [](CmdUser *, std::string_view) { return false; };
        zn::console_permission first(refuse);
        zn::console_permission second([](CmdUser *, std::string_view cmd) { return cmd == "erase"; });
        REQUIRE(!first.in_force() && second.in_force());
        first.reset(); // no longer in force: changes nothing
        report(typed(user, "erase\n") + "|");
        zn::console_permission moved = std::move(second);
        REQUIRE(!second && moved.in_force());
        second.reset();
        report(typed(user, "tasks\n") + "|");
        moved = zn::console_permission(refuse);
        report(typed(user, "erase\n"));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "\n> |\nPermission denied\n> |\nPermission denied\n> ");
}

TEST(CppPermission, CredentialsOfTheConsoleAndOfOtherUsers) {
    auto child = run_in_child([] {
        zntest::init_console();
        REQUIRE(cli_add_console(nullptr, nullptr) == 0);
        const auto console = zn::credentials_of(CmdUserList);
        REQUIRE(console && console->uid == geteuid() && console->gid == getegid() && console->pid == getpid());
        Session user;
        REQUIRE(!zn::credentials_of(user.user()));
    });
    EXPECT_TRUE(child.returned()) << child.errors;
}

} // namespace
