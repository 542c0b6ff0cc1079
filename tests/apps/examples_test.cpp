// The README's example daemons, started and driven through znconsole as a reader would.
#include <gtest/gtest.h>

#include <string>

#include "demo.h"

namespace {

TEST(Examples, CDaemonAnswersAndShutsDown) {
    dbtest::TempDir dir;
    std::unique_ptr<apptest::Background> daemon;
    int port = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        port = zntest::free_port();
        daemon = std::make_unique<apptest::Background>(
            std::vector<std::string>{ZN_EXAMPLE_C, std::to_string(port)}, dir.path());
        if (daemon->stderr_until("\n").find("listening on port") != std::string::npos)
            break;
    }
    const apptest::Outcome o = apptest::console_commands(port, {"ticks", "dblist", "shutdown"});
    EXPECT_EQ(o.status, 0) << o.err;
    const std::string start = "0 ticks so far\nDatabases currently in memory:\n  ticks            Ticks of the example  ";
    EXPECT_EQ(o.out.substr(0, start.size()), start);
    EXPECT_EQ(o.out.substr(o.out.size() - 32), "Please Wait, Shutting Down.....\n");
    EXPECT_EQ(daemon->wait_exit(), 0);
}

} // namespace
