// zndemo's local console: the daemon on a pseudo-terminal, as `make run` starts it.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "db_support.h"
#include "pty_process.h"

using zntest::PtyProcess;

namespace {

const std::string kPrompt = "zn> ";

TEST(ZndemoConsole, PromptAfterTheLogCommandsAndQuit) {
    dbtest::TempDir dir;
    PtyProcess d({ZN_ZNDEMO, "--port", "0"}, dir.path());
    ASSERT_TRUE(d.started());
    const std::string start = d.read_until(kPrompt);
    EXPECT_NE(start.find("zndemo: created " + dir.path() + "/data/sample.db\r\n"), std::string::npos) << start;
    const std::string ready = "zndemo: ready; local console on this terminal: type help, or quit to stop\r\n";
    ASSERT_GE(start.size(), ready.size() + kPrompt.size());
    EXPECT_EQ(start.substr(start.size() - ready.size() - kPrompt.size()), ready + kPrompt)
        << "the prompt stands below the log";
    EXPECT_TRUE(zntest::is_raw(d.settings()));
    d.type("note typed here\r"); // one read: only the line end is echoed
    EXPECT_EQ(d.read_until(kPrompt), "\r\nNote 3 added to \"sample\"\r\n" + kPrompt);
    d.type("quit\r");
    EXPECT_EQ(d.read_until("Goodbye!\r\n"), "\r\nGoodbye!\r\n");
    EXPECT_EQ(d.wait_exit(), 0);
    EXPECT_NE(d.shown_at_exit().find("zndemo: saved " + dir.path() + "/data/sample.db (3 records)"),
              std::string::npos)
        << d.shown_at_exit();
    EXPECT_TRUE(zntest::is_cooked(d.settings()));
}

TEST(ZndemoConsole, RefusedStartRestoresTheTerminal) {
    dbtest::TempDir dir;
    mkdir((dir / "data").c_str(), 0755);
    dbtest::write_file(dir / "data/sample.db", std::string(40, 'x'));
    PtyProcess d({ZN_ZNDEMO, "--port", "0"}, dir.path());
    ASSERT_TRUE(d.started());
    EXPECT_EQ(d.wait_exit(), 1);
    EXPECT_NE(d.shown_at_exit().find("sample.db is damaged at byte offset 40: the header is cut short: 88 bytes "
                                     "needed, 40 present."),
              std::string::npos)
        << d.shown_at_exit();
    EXPECT_TRUE(zntest::is_cooked(d.settings())) << "the console had switched it to raw input";
}

} // namespace
