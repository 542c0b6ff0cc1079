// The console commands of the integrated build: registered through the callback pair, run with a
// capturing print function, and typed end to end by a remote console user.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "child.h"
#include "db_support.h"
#include "remote.h"

using namespace dbtest;
using zntest::report;
using zntest::run_in_child;

namespace {

using zntest::Registered;
using zntest::registered;

// Answers like the console but -17 for the second command: the library does
// not look at the results.
int capture_add(char *cmd, char *usage, char *desc, int (*handler)(int, char **), ulong_t flags) {
    zntest::capture_add(cmd, usage, desc, handler, flags);
    return registered().size() == 2 ? -17 : 0;
}

// Runs a registered command with the words given; its console output.
class Commands : public ::testing::Test {
protected:
    void SetUp() override {
        db_register_cmds(capture_add, capture_print);
        ASSERT_EQ(registered().size(), 5u);
    }

    std::string run(std::vector<std::string> words, int expected = 0) {
        const zntest::CommandRun run = zntest::run_command(words);
        EXPECT_TRUE(run.found) << "no command " << words[0];
        EXPECT_EQ(run.result, expected) << words[0];
        return run.output;
    }
};

std::string created(const DataBase *db) {
    const time_t t = db->time_created;
    return ctime(&t);
}

TEST_F(Commands, RegisteredInOrderWithFlagsZero) {
    const std::vector<std::string> expected = {
        "dblist|(null)|List databases in memory",
        "dbclose|<db name>|Close Database",
        "dbsave|<db name> <dir to save in>|Save Database to disk",
        "dbopen|</path/filename>|Open Database from disk",
        "dbdump|<db name>|Dump database to screen",
    };
    for (size_t i = 0; i < expected.size(); ++i) {
        const Registered &r = registered()[i];
        EXPECT_EQ(r.cmd + "|" + r.usage + "|" + r.desc, expected[i]);
        EXPECT_EQ(r.flags, 0ul);
    }
    EXPECT_EQ(registered()[4].handler, db_cmd_dbdump);
    EXPECT_EQ(printed(), "") << "registration prints nothing";
}

TEST_F(Commands, DblistShowsTheCatalogueInOrder) {
    EXPECT_EQ(run({"dblist"}), "Databases currently in memory:\n");
    DataBase *a = db_create(str("same"), str("the older"), 1);
    DataBase *b = db_create(str("same"), str("the newer"), 2);
    EXPECT_EQ(run({"dblist"}), "Databases currently in memory:\n"
                               "  same             the older             " + created(a) +
                                   "  same             the newer             " + created(b));
}

TEST_F(Commands, DbcloseClosesTheOlderOfTwo) {
    db_create(str("twin"), str("1"), 0);
    DataBase *newer = db_create(str("twin"), str("2"), 0);
    EXPECT_EQ(run({"dbclose", "twin"}), "Database \"twin\" has been closed\n");
    EXPECT_EQ(_db_list->db, newer) << "the older one went first";
    EXPECT_EQ(run({"dbclose", "twin"}), "Database \"twin\" has been closed\n");
    EXPECT_EQ(run({"dbclose", "twin"}), "No database found by that name\n");
    EXPECT_EQ(_db_list, nullptr);
}

TEST_F(Commands, DbsaveSetsTheDataPathFirstAndForGood) {
    TempDir dir;
    DataBase *db = db_create(str("kept"), str("saved"), 5);
    add_record(db, {"a", "b"});
    EXPECT_EQ(run({"dbsave", "kpet", dir.path()}), "No database found by that name\n");
    EXPECT_EQ(std::string(_db_data_path), dir.path());
    EXPECT_EQ(run({"dbsave", "kept", dir.path()}),
              "Database \"kept\" saved as " + dir.path() + "/kept.db\n");
    EXPECT_EQ(read_file(dir / "kept.db"), Encoder().header("saved", 5, 1).record({"a", "b"}).bytes());
    EXPECT_EQ(run({"dbsave", "kept", dir / "missing"}), "Unable to save database\n");
    EXPECT_EQ(std::string(_db_data_path), dir / "missing");
}

TEST_F(Commands, DbopenReadsFromTheWorkingDirectory) {
    TempDir dir;
    write_file(dir / "stored.db", Encoder().header("from disk", 9, 1).record({"x"}).bytes());
    const auto child = run_in_child([&] {
        REQUIRE(chdir(dir.path().c_str()) == 0);
        db_register_cmds(capture_add, capture_print);
        std::string out = run({"dbopen", "stored"});
        out += run({"dbopen", "stored.db"});
        out += run({"dbopen", "missing"});
        out += std::string("path=") + _db_data_path + "\n";
        for (DataBaseList *e = _db_list; e; e = e->next)
            out += std::string(e->name) + ":" + db_name(e->db) + "\n";
        report(out);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "Database \"stored\" opened\n"
                            "Database \"stored.db\" opened\n"
                            "Unable to open database\n"
                            "path=.\n"
                            "stored:from disk\n"
                            "stored.db:from disk\n");
}

TEST_F(Commands, DbdumpHeaderOnStandardOutputRecordsOnTheConsole) {
    DataBase *db = db_create(str("d"), str("dumped db"), 4);
    add_record(db, {"p", "q"});
    DataBaseInfo *last = add_record(db, {});
    std::string console;
    const std::string out = stdout_of([&] { console = run({"dbdump", "d"}); });
    EXPECT_EQ(out, "Opened database \"dumped db\", version 4, total 2 records\r\n");
    EXPECT_EQ(console, "--------------------- Record #1 ----------------------\n"
                       "Dumping Record, 2 paramaters\r\n"
                       "Param 1: 1 <\"p\">\r\n"
                       "Param 2: 1 <\"q\">\r\n"
                       "--------------------- Record #2 ----------------------\n"
                       "Dumping Record, 0 paramaters\r\n");
    EXPECT_EQ(db_cur(db), last) << "the cursor stays on the last record";

    db_create(str("e"), str("empty one"), 0);
    const std::string empty = stdout_of([&] { console = run({"dbdump", "e"}); });
    EXPECT_EQ(empty, "Opened database \"empty one\", version 0, total 0 records\r\n");
    EXPECT_EQ(console, "");
    EXPECT_EQ(run({"dbdump", "nothing"}), "No database found by that name\n");
}

TEST_F(Commands, WrongNumberOfWordsIsWrongUsage) {
    db_create(str("x"), str(""), 0);
    EXPECT_EQ(run({"dblist", "x"}, -1), "");
    EXPECT_EQ(run({"dbclose"}, -1), "");
    EXPECT_EQ(run({"dbclose", "x", "y"}, -1), "");
    EXPECT_EQ(run({"dbsave", "x"}, -1), "");
    EXPECT_EQ(run({"dbopen"}, -1), "");
    EXPECT_EQ(run({"dbdump", "x", "y"}, -1), "");
    EXPECT_NE(db_find_dbase(str("x")), nullptr);
}

// ---- typed by a remote console user ----

class RemoteCommands : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(daemon.ready()) << daemon.errors();
        ASSERT_TRUE(client.connected());
        ASSERT_TRUE(client.login());
    }
    // The reply to a line: the echoed line end, the output, the prompt.
    static std::string reply(const std::string &output) { return "\n" + output + zntest::kPrompt; }

    TempDir dir;
    std::string out_file = dir / "stdout";
    zntest::Daemon daemon{{"--stdout", out_file}};
    zntest::Client client{daemon.port()};
};

TEST_F(RemoteCommands, ListSaveCloseOpenAndDump) {
    const std::string listed = client.command("dblist");
    const std::regex list(
        "\nDatabases currently in memory:\n"
        "  alpha            first database        \\w{3} \\w{3} [ \\d]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}\n"
        "  beta             empty                 [^\n]+\n"
        "  two words        spaced                [^\n]+\n" + zntest::kPrompt);
    EXPECT_TRUE(std::regex_match(listed, list)) << listed;

    EXPECT_EQ(client.command("dbsave alpha " + dir.path()),
              reply("Database \"alpha\" saved as " + dir.path() + "/alpha.db\n"));
    EXPECT_TRUE(exists(dir / "alpha.db"));
    EXPECT_EQ(client.command("dbclose alpha"), reply("Database \"alpha\" has been closed\n"));
    EXPECT_EQ(client.command("dbclose alpha"), reply("No database found by that name\n"));
    const std::string path = dir / "alpha";
    EXPECT_EQ(client.command("dbopen " + path), reply("Database \"" + path + "\" opened\n"));
    EXPECT_EQ(client.command("dbdump " + path),
              reply("--------------------- Record #1 ----------------------\n"
                    "Dumping Record, 2 paramaters\r\n"
                    "Param 1: 3 <\"one\">\r\n"
                    "Param 2: 1 <\"1\">\r\n"
                    "--------------------- Record #2 ----------------------\n"
                    "Dumping Record, 2 paramaters\r\n"
                    "Param 1: 3 <\"two\">\r\n"
                    "Param 2: 0 <\"\">\r\n"));
    EXPECT_EQ(client.command("dbdump \"two words\""),
              reply("--------------------- Record #1 ----------------------\n"
                    "Dumping Record, 1 paramaters\r\n"
                    "Param 1: 4 <\"only\">\r\n"));
    EXPECT_EQ(read_file(out_file),
              "Opened database \"first database\", version 3, total 2 records\r\n"
              "Opened database \"spaced\", version 0, total 1 records\r\n");
}

// A FIFO, and links to /dev/zero and /dev/urandom, named like data files:
// each "dbopen" is refused at once, and the daemon goes on serving.
TEST_F(RemoteCommands, DbopenOfSpecialFilesIsRefusedAndTheDaemonServesOn) {
    ASSERT_EQ(mkfifo((dir / "fifo.db").c_str(), 0644), 0);
    ASSERT_EQ(symlink("/dev/zero", (dir / "zero.db").c_str()), 0);
    ASSERT_EQ(symlink("/dev/urandom", (dir / "random.db").c_str()), 0);
    for (const char *name : {"fifo", "zero", "random"})
        EXPECT_EQ(client.command("dbopen " + dir / name), reply("Unable to open database\n")) << name;
    EXPECT_EQ(client.command("dbclose beta"), reply("Database \"beta\" has been closed\n"));
}

TEST_F(RemoteCommands, WrongUsageShowsTheUsageLine) {
    EXPECT_EQ(client.command("dbsave alpha"), reply("Usage:  dbsave <db name> <dir to save in>\n"));
    EXPECT_EQ(client.command("dblist now"), reply("Usage:  dblist <no args>\n"));
    EXPECT_EQ(client.command("help dbopen"),
              reply("Usage: dbopen </path/filename>\n   Open Database from disk\n"));
    EXPECT_EQ(client.command("dbopen " + dir / "none"), reply("Unable to open database\n"));
}

} // namespace
