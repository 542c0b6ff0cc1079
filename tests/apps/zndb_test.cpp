// The zndb tool on data files written here field by field: good, damaged and byte-swapped ones.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "db_support.h"
#include "programs.h"

using apptest::Outcome;
using dbtest::Encoder;

namespace {

Outcome zndb(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {ZN_ZNDB};
    argv.insert(argv.end(), args.begin(), args.end());
    return apptest::run_program(argv);
}

// Three records: text, one with bytes that are no text and a comma, and
// one without parameters; then an empty parameter.
Encoder &example(Encoder &&e) {
    return e.header("parts list", 3, 4)
        .record({"bolt", "M6, zinc"})
        .record({std::string("a\0b\x01", 4), "tab\there", "\xff", "say \"hi\"", "back\\slash", "caf\xc3\xa9"})
        .record({})
        .record({""});
}

class Zndb : public ::testing::Test {
protected:
    void SetUp() override {
        dbtest::write_file(good, example(Encoder()).bytes());
        dbtest::write_file(swapped, example(Encoder(true)).bytes());
    }
    dbtest::TempDir dir;
    const std::string good = dir / "parts.db";
    const std::string swapped = dir / "swapped.db";
};

TEST_F(Zndb, Info) {
    const Outcome o = zndb({"info", good});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "File          : " + good + "\n"
                     "Size          : 188 bytes\n"
                     "Description   : parts list\n"
                     "Version       : 3\n"
                     "Records       : 4 (header)\n"
                     "Record blocks : 4 present\n"
                     "Byte order    : host order\n"
                     "Lock file     : none\n"
                     "Problem       : none\n");
}

TEST_F(Zndb, VerifyGoodFile) {
    const Outcome o = zndb({"verify", good});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, good + ": sound: 4 records in 188 bytes\n");
}

TEST_F(Zndb, Dump) {
    const Outcome o = zndb({"dump", good});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "Database \"parts list\", version 3, 4 records\n"
                     "Record #1, 2 parameters\n"
                     "  Param 1: 4 <\"bolt\">\n"
                     "  Param 2: 8 <\"M6, zinc\">\n"
                     "Record #2, 6 parameters\n"
                     "  Param 1: 4 <\"a\\x00b\\x01\">\n"
                     "  Param 2: 8 <\"tab\\x09here\">\n"
                     "  Param 3: 1 <\"\\xff\">\n"
                     "  Param 4: 8 <\"say \"hi\"\">\n"
                     "  Param 5: 10 <\"back\\\\slash\">\n"
                     "  Param 6: 5 <\"caf\xc3\xa9\">\n"
                     "Record #3, 0 parameters\n"
                     "Record #4, 1 parameters\n"
                     "  Param 1: 0 <\"\">\n");
    const Outcome param = zndb({"dump", good, "--param", "2"});
    EXPECT_EQ(param.out, "Database \"parts list\", version 3, 4 records\n"
                         "[Record #1] Param 2: 8 <\"M6, zinc\">\n"
                         "[Record #2] Param 2: 8 <\"tab\\x09here\">\n");
}

TEST_F(Zndb, ExportCsv) {
    const Outcome o = zndb({"export", good, "--csv"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "bolt,\"M6, zinc\"\n"
                     "a\\x00b\\x01,tab\\x09here,\\xff,\"say \"\"hi\"\"\",back\\\\slash,caf\xc3\xa9\n"
                     "\n"
                     "\"\"\n");
}

TEST_F(Zndb, ExportJson) {
    const Outcome o = zndb({"export", good, "--json"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "[\n"
                     "  [\"bolt\", \"M6, zinc\"],\n"
                     "  [\"a\\u0000b\\u0001\", \"tab\\there\", {\"hex\": \"ff\"}, \"say \\\"hi\\\"\", "
                     "\"back\\\\slash\", \"caf\xc3\xa9\"],\n"
                     "  [],\n"
                     "  [\"\"]\n"
                     "]\n");
}

TEST_F(Zndb, ImportIsTheInverseOfExport) {
    const std::string csv = dir / "parts.csv";
    dbtest::write_file(csv, zndb({"export", good, "--csv"}).out);
    const Outcome o = zndb({"import", csv, dir / "copy.db", "--desc", "parts list", "--version", "3"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, dir / "copy.db" + ": 4 records imported\n");
    EXPECT_EQ(dbtest::read_file(dir / "copy.db"), dbtest::read_file(good));
    EXPECT_EQ(zndb({"import", csv, dir / "copy-swapped.db", "--desc", "parts list", "--version", "3", "--swapped"})
                  .status,
              0);
    EXPECT_EQ(dbtest::read_file(dir / "copy-swapped.db"), dbtest::read_file(swapped));
}

TEST_F(Zndb, ImportReadsForeignCsv) {
    const std::string csv = dir / "in.csv";
    dbtest::write_file(csv, "name,note\r\n\"multi\nline\",\"x\"\"y\"\r\nlast,C:\\temp");
    ASSERT_EQ(zndb({"import", csv, dir / "t.db", "--desc", "notes"}).status, 0);
    EXPECT_EQ(dbtest::read_file(dir / "t.db"), Encoder()
                                                   .header("notes", 0, 3)
                                                   .record({"name", "note"})
                                                   .record({"multi\nline", "x\"y"})
                                                   .record({"last", "C:\\temp"})
                                                   .bytes());
}

TEST_F(Zndb, ImportRefusesMalformedCsvAndWritesNothing) {
    const std::string csv = dir / "bad.csv";
    dbtest::write_file(csv, "a,b\nc,\"open\nstill open");
    const Outcome o = zndb({"import", csv, dir / "out.db", "--desc", "x"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "zndb: " + csv + ":2: a quoted field is not closed; nothing written\n");
    EXPECT_FALSE(dbtest::exists(dir / "out.db"));
    dbtest::write_file(csv, "ok\nx\"y\n");
    EXPECT_EQ(zndb({"import", csv, dir / "out.db", "--desc", "x"}).err,
              "zndb: " + csv + ":2: a double quote inside a field that does not begin with one; nothing written\n");
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"bad.csv", "parts.db", "swapped.db"}));
}

TEST_F(Zndb, SwappedFileIsRecognised) {
    const Outcome info = zndb({"info", swapped});
    EXPECT_EQ(info.status, 0);
    EXPECT_NE(info.out.find("Problem       : at byte offset 96: "), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("Note          : it reads sensibly only with --swapped (it was written with byte "
                            "swapping on)\n"),
              std::string::npos)
        << info.out;
    const Outcome verify = zndb({"verify", swapped});
    EXPECT_EQ(verify.status, 1);
    EXPECT_NE(verify.out.find(swapped + ": it reads sensibly only with --swapped"), std::string::npos);
    const Outcome right = zndb({"verify", swapped, "--swapped"});
    EXPECT_EQ(right.status, 0);
    EXPECT_EQ(right.out, swapped + ": sound: 4 records in 188 bytes\n");
    EXPECT_EQ(zndb({"verify", good, "--swapped"}).out.find("reads sensibly only without --swapped") !=
                  std::string::npos,
              true);
    EXPECT_EQ(zndb({"export", swapped, "--csv", "--swapped"}).out, zndb({"export", good, "--csv"}).out);
}

TEST_F(Zndb, SwapBothWays) {
    const Outcome o = zndb({"swap", good, dir / "out.db"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, dir / "out.db" + ": 4 records, byte-reversed (read it with --swapped)\n");
    EXPECT_EQ(dbtest::read_file(dir / "out.db"), dbtest::read_file(swapped));
    EXPECT_EQ(zndb({"swap", swapped, dir / "back.db", "--swapped"}).status, 0);
    EXPECT_EQ(dbtest::read_file(dir / "back.db"), dbtest::read_file(good));
}

struct Damage {
    std::string bytes;
    std::string problem; // what verify says after the file's name
};

TEST_F(Zndb, DamagedFilesNameTheFirstProblem) {
    const std::string header = Encoder().header("d", 1, 2).bytes();
    const Damage cases[] = {
        {std::string(50, 'x'), "problem at byte offset 50: the header is cut short: 88 bytes needed, 50 present"},
        {Encoder().header("d", 1, -1).bytes(), "problem at byte offset 84: the header has the negative record count -1"},
        {header + Encoder().record({"ok"}).raw(std::string("\x01\x00", 2)).bytes(),
         "problem at byte offset 98: the parameter count of record 2 is cut short: 4 bytes needed, 2 present"},
        {header + Encoder().record({"ok"}).word(2).word(1).raw("a").word(5).raw("ab").bytes(),
         "problem at byte offset 111: the value of record 2, parameter 2 is cut short: 5 bytes needed, 2 present"},
        {header + Encoder().record({"ok"}).word(1).bytes(),
         "problem at byte offset 102: the length of record 2, parameter 1 is cut short: 4 bytes needed, 0 present"},
        {header + Encoder().word(-3).bytes(), "problem at byte offset 88: record 1 has the negative parameter count -3"},
        {header + Encoder().word(1).word(-7).bytes(),
         "problem at byte offset 92: record 1, parameter 1 has the negative length -7"},
        {header + Encoder().record({"ok"}).bytes(),
         "problem at byte offset 98: the header announces 2 records, the file holds 1 record blocks"},
        {Encoder().header("d", 1, 0).record({"lost"}).bytes(),
         "problem at byte offset 88: the header announces 0 records, but 1 record blocks follow; the ones after "
         "record 0 are not read"},
    };
    for (const Damage &c : cases) {
        dbtest::write_file(dir / "bad.db", c.bytes);
        const Outcome o = zndb({"verify", dir / "bad.db"});
        EXPECT_EQ(o.status, 1) << c.problem;
        EXPECT_EQ(o.out, dir / "bad.db" + ": " + c.problem + "\n");
        const Outcome info = zndb({"info", dir / "bad.db"});
        EXPECT_EQ(info.status, 0);
        EXPECT_NE(info.out.find("Problem       : " + c.problem.substr(8) + "\n"), std::string::npos) << info.out;
    }
}

TEST_F(Zndb, DamagedFileReadsWithAClearMessageOrWarning) {
    const std::string truncated = Encoder().header("d", 1, 1).word(1).word(10).raw("abc").bytes();
    dbtest::write_file(dir / "cut.db", truncated);
    const Outcome dump = zndb({"dump", dir / "cut.db"});
    EXPECT_EQ(dump.status, 1);
    EXPECT_EQ(dump.out, "");
    EXPECT_EQ(dump.err, "zndb: " + dir / "cut.db" +
                            ": problem at byte offset 96: the value of record 1, parameter 1 is cut short: 10 "
                            "bytes needed, 3 present\n"
                            "zndb: the database library cannot read " + dir / "cut.db" + "\n");
    const Outcome swap = zndb({"swap", dir / "cut.db", dir / "out.db"});
    EXPECT_EQ(swap.status, 1);
    EXPECT_FALSE(dbtest::exists(dir / "out.db"));
    dbtest::write_file(dir / "short.db", Encoder().header("s", 1, 3).record({"only"}).bytes());
    const Outcome readable = zndb({"export", dir / "short.db", "--csv"});
    EXPECT_EQ(readable.status, 0);
    EXPECT_EQ(readable.out, "only\n");
    EXPECT_NE(readable.err.find("problem at byte offset 100: the header announces 3 records"), std::string::npos);
}

// A FIFO and links to /dev/zero and /dev/urandom, given as data files or as
// CSV: every command refuses them at once, without waiting for a writer or
// reading without end.
TEST_F(Zndb, SpecialFilesAreRefusedAtOnce) {
    ASSERT_EQ(mkfifo((dir / "fifo.db").c_str(), 0644), 0);
    ASSERT_EQ(symlink("/dev/zero", (dir / "zero.db").c_str()), 0);
    ASSERT_EQ(symlink("/dev/urandom", (dir / "random.db").c_str()), 0);
    for (const char *name : {"fifo.db", "zero.db", "random.db"}) {
        const std::string path = dir / name;
        const std::vector<std::vector<std::string>> commands = {
            {"info", path}, {"verify", path}, {"dump", path}, {"export", path, "--json"},
            {"swap", path, dir / "out.db"}, {"import", path, dir / "out.db", "--desc", "d", "--version", "1"},
        };
        for (const std::vector<std::string> &args : commands) {
            const Outcome o = apptest::run_program([&] {
                std::vector<std::string> argv = {ZN_ZNDB};
                argv.insert(argv.end(), args.begin(), args.end());
                return argv;
            }(), "", "", 10);
            EXPECT_EQ(o.status, 1) << args[0] << " " << name;
            EXPECT_EQ(o.err, "zndb: cannot read " + path + ": not a regular file\n") << args[0];
        }
    }
    EXPECT_FALSE(dbtest::exists(dir / "out.db"));
}

std::string kind_links_owner_mode(const std::string &path) {
    struct stat st{};
    if (lstat(path.c_str(), &st) != 0)
        return "missing";
    const char *kind = S_ISLNK(st.st_mode)    ? "link"
                       : S_ISFIFO(st.st_mode) ? "fifo"
                       : S_ISREG(st.st_mode)  ? "file"
                                              : "other";
    char text[64];
    snprintf(text, sizeof text, "%s %lu %u:%u %04o", kind, static_cast<unsigned long>(st.st_nlink), st.st_uid,
             st.st_gid, st.st_mode & 07777);
    return text;
}

// The file OUT names is written as a save writes a data file: a link is
// followed, hard links stay joined, a FIFO stays a FIFO for its reader, and
// owner and mode stay.
TEST_F(Zndb, OutputKeepsWhatTheFileWas) {
    const std::string target = dir / "target.db", symbolic = dir / "link.db", second = dir / "second.db";
    dbtest::write_file(target, "old");
    ASSERT_EQ(symlink("target.db", symbolic.c_str()), 0);
    ASSERT_EQ(link(target.c_str(), second.c_str()), 0);
    ASSERT_EQ(chmod(target.c_str(), 0600), 0);
    ASSERT_EQ(chown(target.c_str(), 65534, 65534), 0);
    EXPECT_EQ(zndb({"swap", good, symbolic}).status, 0);
    EXPECT_EQ(kind_links_owner_mode(symbolic), "link 1 0:0 0777");
    EXPECT_EQ(kind_links_owner_mode(target), "file 2 65534:65534 0600");
    EXPECT_EQ(dbtest::read_file(second), dbtest::read_file(swapped));

    const std::string fifo = dir / "fifo.db";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0640), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(zndb({"swap", swapped, fifo, "--swapped"}).status, 0);
    EXPECT_EQ(kind_links_owner_mode(fifo), "fifo 1 0:0 0640");
    char bytes[4096];
    EXPECT_EQ(read(reader, bytes, sizeof bytes), static_cast<ssize_t>(dbtest::read_file(good).size()));
    close(reader);
}

// The lock file's process, when it no longer runs, makes the lock stale.
TEST_F(Zndb, InfoTellsAStaleLockFromOneInUse) {
    const pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    waitpid(gone, nullptr, 0);
    const std::string lock = good + ".locked";
    const auto lock_line = [&] {
        const std::string out = zndb({"info", good}).out;
        const size_t at = out.find("Lock file     : ");
        return at == std::string::npos ? out : out.substr(at, out.find('\n', at) + 1 - at);
    };
    dbtest::write_file(lock, "Locked by PID " + std::to_string(gone) + "\r\n");
    EXPECT_EQ(lock_line(), "Lock file     : " + lock + " (stale: process " + std::to_string(gone) + " is gone)\n");
    dbtest::write_file(lock, "Temporarally locked to save, pid " + std::to_string(gone) + "\n");
    EXPECT_EQ(lock_line(), "Lock file     : " + lock + " (stale: process " + std::to_string(gone) + " is gone)\n");
    dbtest::write_file(lock, "Locked by PID " + std::to_string(getpid()) + "\r\n");
    EXPECT_EQ(lock_line(), "Lock file     : " + lock + " (in use)\n");
    dbtest::write_file(lock, "written by hand");
    EXPECT_EQ(lock_line(), "Lock file     : " + lock + " (in use)\n");
}

// Text from the file cannot end a line or reach the terminal as it is.
TEST_F(Zndb, InfoEscapesTheDescription) {
    dbtest::write_file(good, Encoder().header("two\nlines \x1b[31mred", 1, 0).bytes());
    EXPECT_NE(zndb({"info", good}).out.find("Description   : two\\x0alines \\x1b[31mred\n"), std::string::npos);
}

TEST_F(Zndb, ExportOfAnEmptyDatabaseEndsWithANewline) {
    dbtest::write_file(good, Encoder().header("none", 1, 0).bytes());
    EXPECT_EQ(zndb({"export", good, "--json"}).out, "[]\n");
    EXPECT_EQ(zndb({"export", good, "--csv"}).out, "");
}

TEST_F(Zndb, MissingFileAndUsage) {
    const Outcome missing = zndb({"verify", dir / "none.db"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "zndb: cannot read " + dir / "none.db" + ": No such file or directory\n");
    EXPECT_EQ(zndb({"export", good}).status, 2);
    EXPECT_EQ(zndb({"export", good, "--csv", "--json"}).status, 2);
    EXPECT_EQ(zndb({"dump", good, "--desc", "x"}).status, 2);
    EXPECT_EQ(zndb({"import", "a.csv", "b.db"}).status, 2);
    EXPECT_EQ(zndb({"import", "a.csv", "b.db", "--desc", std::string(80, 'd')}).status, 2);
    EXPECT_EQ(zndb({"swap", good}).err, "zndb: swap takes FILE OUT (see zndb --help)\n");
    EXPECT_EQ(zndb({"frobnicate"}).status, 2);
    EXPECT_EQ(zndb({"--help"}).status, 0);
    EXPECT_EQ(zndb({}).status, 2);
}

} // namespace
