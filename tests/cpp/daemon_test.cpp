// examples/cpp_daemon.cpp started on a free port and driven by a remote console user.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "remote.h"

using zntest::Client;
using zntest::kPrompt;

namespace {

// The example daemon in a child process, killed at the end if still running.
class ExampleDaemon {
public:
    ExampleDaemon() {
        for (int attempt = 0; attempt < 5 && !client_; ++attempt)
            start(zntest::free_port());
    }
    ~ExampleDaemon() {
        client_.reset();
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    // A logged-in client, or null when the daemon did not come up.
    Client *client() const { return client_.get(); }

    // The daemon's exit status once it has ended (-1: still running after
    // timeout_ms, or ended by a signal).
    int wait_exit(int timeout_ms = 10000) {
        for (int waited = 0; waited < timeout_ms; waited += 10) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

private:
    // Starts the daemon on port and logs in; it exits at once when the port
    // was taken in the meantime.
    void start(int port) {
        pid_ = fork();
        if (pid_ == 0)
            zntest::exec_daemon({std::to_string(port)});
        for (int waited = 0; waited < 10000; waited += 20) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            auto client = std::make_unique<Client>(port);
            if (client->connected() && client->login()) {
                client_ = std::move(client);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    pid_t pid_ = -1;
    std::unique_ptr<Client> client_;
};

TEST(CppDaemon, CommandsTaskAndDatabaseOverTheConsole) {
    ExampleDaemon daemon;
    Client *user = daemon.client();
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(user->command("add beta"), "\nUsage:  add <name> <address>\n" + kPrompt);
    EXPECT_EQ(user->command("add beta 10.0.0.2"), "\n1 hosts known\n" + kPrompt);
    EXPECT_EQ(user->command("add alpha 10.0.0.1"), "\n2 hosts known\n" + kPrompt);
    EXPECT_EQ(user->command("hosts"), "\nalpha at 10.0.0.1\nbeta at 10.0.0.2\n" + kPrompt);
    const std::string help = user->command("help -v");
    EXPECT_NE(help.find("   add             Remember a host\n"), std::string::npos) << help;
    EXPECT_NE(help.find("   hosts           List the hosts by name\n"), std::string::npos) << help;

    // The clock task counts whole seconds.
    auto seconds = [user] {
        const std::string reply = user->command("uptime");
        EXPECT_EQ(reply.rfind("\nup ", 0), 0u) << reply;
        return std::stoul(reply.substr(4));
    };
    const unsigned long before = seconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_GE(seconds(), before + 1);

    user->send("shutdown\n");
    EXPECT_EQ(daemon.wait_exit(), 0);
}

} // namespace
