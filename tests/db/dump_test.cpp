// Dumps, in both builds: a record through a print function, and one parameter of every record on
// standard output with its pauses for Return on standard input.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "child.h"
#include "db_support.h"

using namespace dbtest;
using zntest::report_fd;
using zntest::run_in_child;

namespace {

DataBase *table() { return db_create(str("t"), str("dumped"), 1); }

TEST(Dump, RecordLinesThroughThePrintFunction) {
    DataBaseInfo *dbi = add_record(table(), {"alpha", "", std::string("ab\0cd", 5)});
    db_param_new(dbi, -3, nullptr);
    db_dump(dbi, capture_print);
    EXPECT_EQ(printed(),
              "Dumping Record, 4 paramaters\r\n"
              "Param 1: 5 <\"alpha\">\r\n"
              "Param 2: 0 <\"\">\r\n"
              "Param 3: 5 <\"ab\">\r\n"
              "Param 4: -3 <\"\">\r\n");
}

TEST(Dump, RecordWithoutParametersIsOneLine) {
    db_dump(db_new(table()), capture_print);
    EXPECT_EQ(printed(), "Dumping Record, 0 paramaters\r\n");
    printed().clear();
    db_dump(nullptr, capture_print);
    db_dump(db_new(table()), nullptr);
    EXPECT_EQ(printed(), "");
}

TEST(Dump, LongValuesAreShownCutAt2047Bytes) {
    DataBaseInfo *dbi = add_record(table(), {std::string(5000, 'x') + "END"});
    db_dump(dbi, capture_print);
    EXPECT_EQ(printed(), "Dumping Record, 1 paramaters\r\nParam 1: 5003 <\"" + std::string(2047, 'x') +
                           "\">\r\n");
}

// What db_dump_param prints with `typed` waiting on standard input (a pipe
// that is closed afterwards unless keep_open), and what it left unread.
std::string dump_param(DataBase *(*make)(), int param, const std::string &typed,
                       bool keep_open = false) {
    const auto child = run_in_child([&] {
        int in[2];
        REQUIRE(pipe(in) == 0);
        REQUIRE(write(in[1], typed.data(), typed.size()) == static_cast<ssize_t>(typed.size()));
        if (!keep_open)
            close(in[1]);
        dup2(in[0], STDIN_FILENO);
        dup2(report_fd(), STDOUT_FILENO);
        db_dump_param(make(), param);
        std::string rest;
        int c;
        if (!keep_open)
            while ((c = getchar()) != EOF)
                rest += static_cast<char>(c);
        printf("|unread:%s", rest.c_str());
    }, 10);
    return child.returned() ? child.output : "child failed: " + child.errors;
}

DataBase *forty() {
    DataBase *db = table();
    for (int i = 1; i <= 40; ++i)
        add_record(db, {"v" + std::to_string(i)});
    return db;
}

std::string record_lines(int from, int to, int param = 1) {
    std::string lines;
    for (int i = from; i <= to; ++i) {
        const std::string v = "v" + std::to_string(i);
        lines += "[Record #" + std::to_string(i) + "] Param " + std::to_string(param) + ": " +
                 std::to_string(v.size()) + " <\"" + v + "\">\r\n";
    }
    return lines;
}

const std::string pause_text = "-- Press Return for more --";

TEST(DumpParam, PausesBeforeRecords15And30) {
    EXPECT_EQ(dump_param(forty, 1, "\n\nleft"),
              "Dumping Database, All records -- paramater 1\r\n" + record_lines(1, 14) + pause_text +
                  record_lines(15, 29) + pause_text + record_lines(30, 40) + "|unread:left");
}

TEST(DumpParam, ALongAnswerServesTheNextPauseToo) {
    // "abcd" answers the first pause, "efg\n" the second, which then goes on
    // without waiting: standard input stays open and nothing else comes.
    EXPECT_EQ(dump_param(forty, 1, "abcdefg\n", true),
              "Dumping Database, All records -- paramater 1\r\n" + record_lines(1, 14) + pause_text +
                  record_lines(15, 29) + pause_text + record_lines(30, 40) + "|unread:");
}

DataBase *mixed() {
    DataBase *db = table();
    add_record(db, {"a1"});
    add_record(db, {"b1", "b2"});
    add_record(db, {"c1", std::string(3000, 'z')});
    db_new(db);
    return db;
}

TEST(DumpParam, RecordsWithoutTheParameterCountButPrintNothing) {
    EXPECT_EQ(dump_param(mixed, 2, ""),
              "Dumping Database, All records -- paramater 2\r\n"
              "[Record #2] Param 2: 2 <\"b2\">\r\n"
              "[Record #3] Param 2: 3000 <\"" + std::string(2047, 'z') + "\">\r\n|unread:");
    EXPECT_EQ(dump_param(mixed, 0, ""),
              "Dumping Database, All records -- paramater 0\r\n"
              "[Record #1] Param 0: 2 <\"a1\">\r\n"
              "[Record #2] Param 0: 2 <\"b1\">\r\n"
              "[Record #3] Param 0: 2 <\"c1\">\r\n|unread:");
    EXPECT_EQ(dump_param([]() -> DataBase * { return nullptr; }, 1, ""), "|unread:");
}

} // namespace
