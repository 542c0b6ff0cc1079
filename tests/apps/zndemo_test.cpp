// zndemo end to end: started on a free port, driven with znconsole -c, stopped by command or signal.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <string>

#include "db_support.h"
#include "demo.h"
#include "zndb.h"

using apptest::Demo;
using apptest::Outcome;
using dbtest::Encoder;

namespace {

const std::string kNotes = "zndemo notes";

// The database in the data file at path, opened through the library; null
// when it does not open.
DataBase *open_file(const std::string &path) { return db_open(dbtest::str(path), 0); }

std::string run_demo_to_end(const std::vector<std::string> &args, const std::string &dir) {
    std::vector<std::string> argv = {ZN_ZNDEMO, "--no-console"};
    argv.insert(argv.end(), args.begin(), args.end());
    const Outcome o = apptest::run_program(argv, "", dir);
    return std::to_string(o.status) + "|" + o.err;
}

TEST(Zndemo, CreatesItsDataAndServesTheConsole) {
    Demo demo;
    ASSERT_TRUE(demo.ready()) << demo.errors();
    EXPECT_NE(demo.errors().find("zndemo: created the data directory ./data\n"), std::string::npos);
    EXPECT_NE(demo.errors().find("zndemo: created " + demo.dir() + "/data/sample.db\n"), std::string::npos);
    const Outcome help = demo.run({"help"});
    EXPECT_EQ(help.status, 0) << help.err;
    EXPECT_EQ(help.out,
              "Note: Use help [cmd] to get help on spcified command, or\n"
              "      use help -v to see description of all commands.\n\n"
              "cli-debug       dbclose         dbdump          dblist          dbopen          \n"
              "dbsave          help            history         note            quit            \n"
              "sched-debug     shutdown        sockets         stats           tasks           \n");
    const Outcome tasks = demo.run({"tasks"});
    EXPECT_NE(tasks.out.find("   R       "), std::string::npos) << tasks.out;
    EXPECT_NE(tasks.out.find("Statistics\n"), std::string::npos) << tasks.out;
    EXPECT_NE(tasks.out.find("Save sample database\n"), std::string::npos) << tasks.out;
    EXPECT_EQ(demo.run({"shutdown"}).out, "Please Wait, Shutting Down.....\n");
    EXPECT_EQ(demo.process().wait_exit(), 0);
    DataBase *db = open_file(demo.dir() + "/data/sample.db");
    ASSERT_NE(db, nullptr);
    EXPECT_STREQ(db_name(db), kNotes.c_str());
    EXPECT_EQ(db_records(db), 2);
}

TEST(Zndemo, DatabaseCommandsAndTheSaveIntoItsOwnDirectory) {
    Demo demo;
    ASSERT_TRUE(demo.ready()) << demo.errors();
    const std::string elsewhere = demo.dir() + "/data/elsewhere";
    mkdir(elsewhere.c_str(), 0755);
    const Outcome o = demo.run({"note first words", "dbsave sample " + elsewhere, "note \"second, quoted\"", "dblist",
                                "dbdump sample", "shutdown"});
    EXPECT_EQ(o.status, 0) << o.err;
    const std::string listed = "Note 3 added to \"sample\"\n"
                               "Database \"sample\" saved as " + elsewhere + "/sample.db\n"
                               "Note 4 added to \"sample\"\n"
                               "Databases currently in memory:\n"
                               "  sample           zndemo notes          ";
    EXPECT_EQ(o.out.substr(0, listed.size()), listed);
    EXPECT_NE(o.out.find("--------------------- Record #4 ----------------------\n"
                         "Dumping Record, 2 paramaters\r\n"),
              std::string::npos)
        << o.out;
    EXPECT_NE(o.out.find("Param 2: 14 <\"second, quoted\">\r\n"), std::string::npos) << o.out;
    EXPECT_EQ(o.out.substr(o.out.size() - 32), "Please Wait, Shutting Down.....\n");
    EXPECT_EQ(demo.process().wait_exit(), 0);
    EXPECT_NE(demo.errors().find("zndemo: saved " + demo.dir() + "/data/sample.db (4 records)\n"),
              std::string::npos)
        << demo.errors();
    DataBase *saved = open_file(demo.dir() + "/data/sample.db");
    ASSERT_NE(saved, nullptr);
    ASSERT_EQ(db_records(saved), 4) << "saved at shutdown into the data directory, not where dbsave went";
    EXPECT_EQ(dbtest::values_of(db_recall(saved, 3))[1], "first words");
    EXPECT_EQ(dbtest::values_of(db_recall(saved, 4))[1], "second, quoted");
    DataBase *copy = open_file(elsewhere + "/sample.db");
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(db_records(copy), 3);
}

TEST(Zndemo, OpensTheExistingFileOnTheNextStart) {
    dbtest::TempDir dir;
    mkdir((dir / "data").c_str(), 0755);
    dbtest::write_file(dir / "data/sample.db",
                       Encoder().header("kept", 7, 1).record({"2024-01-01 00:00:00", "old note"}).bytes());
    Demo demo({}, dir.path());
    ASSERT_TRUE(demo.ready()) << demo.errors();
    EXPECT_NE(demo.errors().find("opened " + dir.path() + "/data/sample.db: \"kept\", version 7, 1 records\n"),
              std::string::npos)
        << demo.errors();
    EXPECT_EQ(demo.errors().find("created"), std::string::npos);
    EXPECT_TRUE(dbtest::exists(dir / "data/sample.db.locked")) << "the daemon holds its file";
    EXPECT_EQ(demo.run({"stats"}).status, 0);
    demo.process().signal(SIGTERM);
    EXPECT_EQ(demo.process().wait_exit(), 0);
    EXPECT_FALSE(dbtest::exists(dir / "data/sample.db.locked"));
    DataBase *db = open_file(dir / "data/sample.db");
    ASSERT_NE(db, nullptr);
    EXPECT_STREQ(db_name(db), "kept");
    EXPECT_EQ(dbtest::values_of(db_recall(db, 1))[1], "old note");
}

// A description with a line end and a terminal escape cannot forge log lines.
TEST(Zndemo, EscapesTheDescriptionInItsLog) {
    dbtest::TempDir dir;
    mkdir((dir / "data").c_str(), 0755);
    dbtest::write_file(dir / "data/sample.db", Encoder().header("x\nzndemo: stopping \x1b[2J", 7, 0).bytes());
    Demo demo({}, dir.path());
    ASSERT_TRUE(demo.ready()) << demo.errors();
    EXPECT_NE(demo.errors().find("sample.db: \"x\\x0azndemo: stopping \\x1b[2J\", version 7, 0 records\n"),
              std::string::npos)
        << demo.errors();
}

TEST(Zndemo, StatisticsCommand) {
    Demo demo;
    ASSERT_TRUE(demo.ready()) << demo.errors();
    const Outcome o = demo.run({"stats", "stats extra"});
    EXPECT_EQ(o.out.substr(0, 25), "Uptime          : 0d 00:0");
    EXPECT_NE(o.out.find("\nSample records  : 2\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find(", every 5s, the last "), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("Usage:  stats <no args>\n"), std::string::npos) << o.out;
}

TEST(Zndemo, RefusesADamagedFileAndLeavesItUntouched) {
    dbtest::TempDir dir;
    mkdir((dir / "data").c_str(), 0755);
    const std::string damaged = Encoder().header("d", 1, 2).record({"complete"}).word(1).word(9).raw("cut").bytes();
    dbtest::write_file(dir / "data/sample.db", damaged);
    const std::string result = run_demo_to_end({"--port", "0"}, dir.path());
    EXPECT_NE(result.find("1|"), std::string::npos) << result;
    EXPECT_NE(result.find("zndemo: " + dir.path() + "/data/sample.db is damaged at byte offset 112: the value "
                                                    "of record 2, parameter 1 is cut short: 9 bytes needed, 3 present."),
              std::string::npos)
        << result;
    EXPECT_EQ(dbtest::read_file(dir / "data/sample.db"), damaged);
    EXPECT_FALSE(dbtest::exists(dir / "data/sample.db.locked"));
}

TEST(Zndemo, RefusesALockedFile) {
    dbtest::TempDir dir;
    mkdir((dir / "data").c_str(), 0755);
    dbtest::write_file(dir / "data/sample.db", Encoder().header("d", 1, 0).bytes());
    dbtest::write_file(dir / "data/sample.db.locked", "Locked by PID 1\r\n");
    const std::string result = run_demo_to_end({"--port", "0"}, dir.path());
    EXPECT_EQ(result.substr(0, 2), "1|");
    EXPECT_NE(result.find("sample.db is locked: " + dir.path() + "/data/sample.db.locked exists."),
              std::string::npos)
        << result;
    EXPECT_EQ(dbtest::read_file(dir / "data/sample.db.locked"), "Locked by PID 1\r\n");
}

TEST(Zndemo, ASecondDaemonOnTheSameDataIsRefused) {
    Demo first;
    ASSERT_TRUE(first.ready()) << first.errors();
    const std::string result = run_demo_to_end({"--port", "0"}, first.dir());
    EXPECT_EQ(result.substr(0, 2), "1|");
    EXPECT_NE(result.find("is locked"), std::string::npos) << result;
    EXPECT_EQ(first.run({"shutdown"}).status, 0);
    EXPECT_EQ(first.process().wait_exit(), 0);
}

TEST(Zndemo, RefusesASampleFileThatIsNoFile) {
    dbtest::TempDir dir;
    mkdir((dir / "data").c_str(), 0755);
    mkdir((dir / "data/sample.db").c_str(), 0755);
    const std::string result = run_demo_to_end({"--port", "0"}, dir.path());
    EXPECT_NE(result.find("1|"), std::string::npos);
    EXPECT_NE(result.find("sample.db is not a regular file"), std::string::npos) << result;
}

TEST(Zndemo, PortTakenIsAClearError) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(s, 1), 0);
    socklen_t len = sizeof addr;
    getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len);
    const std::string port = std::to_string(ntohs(addr.sin_port));
    dbtest::TempDir dir;
    const std::string result = run_demo_to_end({"--port", port}, dir.path());
    close(s);
    EXPECT_NE(result.find("1|"), std::string::npos);
    EXPECT_NE(result.find("zndemo: cannot listen on 127.0.0.1 port " + port + ": Address already in use."),
              std::string::npos)
        << result;
}

TEST(Zndemo, DataOptionAndPortZero) {
    dbtest::TempDir dir;
    Demo demo({"--port", "0", "--data", dir / "deep/store"});
    ASSERT_TRUE(demo.ready()) << demo.errors();
    EXPECT_NE(demo.errors().find("zndemo: remote consoles are off (--port 0)\n"), std::string::npos);
    EXPECT_TRUE(dbtest::exists(dir / "deep/store/sample.db"));
    demo.process().signal(SIGINT);
    EXPECT_EQ(demo.process().wait_exit(), 0);
}

TEST(Zndemo, HelpAndBadUsage) {
    const Outcome help = apptest::run_program({ZN_ZNDEMO, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.substr(0, 14), "Usage: zndemo ");
    const Outcome bad = apptest::run_program({ZN_ZNDEMO, "--port", "70000"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.err, "zndemo: --port needs a number from 0 to 65535, not \"70000\"\n");
    EXPECT_EQ(apptest::run_program({ZN_ZNDEMO, "--listen", "localhost"}).status, 2);
    EXPECT_EQ(apptest::run_program({ZN_ZNDEMO, "--bogus"}).status, 2);
}

TEST(Zndemo, ListensOnTheGivenAddressOnly) {
    Demo demo({"--listen", "127.0.0.2"});
    ASSERT_TRUE(demo.ready()) << demo.errors();
    zntest::Client elsewhere(demo.port(), "127.0.0.1");
    EXPECT_FALSE(elsewhere.connected());
    zntest::Client there(demo.port(), "127.0.0.2");
    EXPECT_TRUE(there.connected());
}

} // namespace
