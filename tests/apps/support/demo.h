// demo.h -- zndemo started in a fresh directory on a free port, and znconsole runs against it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "db_support.h"
#include "programs.h"
#include "remote.h"

namespace apptest {

// znconsole -c for each command against the target (a local socket's
// "-s PATH", or host and port); its outcome.
inline Outcome console_commands(const std::vector<std::string> &target, const std::vector<std::string> &commands) {
    std::vector<std::string> argv = {ZN_ZNCONSOLE};
    for (const std::string &c : commands) {
        argv.push_back("-c");
        argv.push_back(c);
    }
    argv.insert(argv.end(), target.begin(), target.end());
    return run_program(argv);
}

class Demo {
public:
    // zndemo --no-console on a free port with extra arguments, in a new
    // directory (or in dir); ready() once it logged that it is ready.
    explicit Demo(std::vector<std::string> extra = {}, const std::string &dir = "") : dir_(dir) {
        for (int attempt = 0; attempt < 5 && !ready_; ++attempt)
            ready_ = start(zntest::free_port(), extra);
    }

    bool ready() const { return ready_; }
    int port() const { return port_; }
    std::string dir() const { return dir_.empty() ? temp_.path() : dir_; }
    std::string socket() const { return dir() + "/data/zndemo.sock"; } // with the default data directory
    Background &process() { return *process_; }
    std::string errors() const { return process_ ? process_->errors() : ""; }

    // The commands over the local socket, as the daemon's own account.
    Outcome run(const std::vector<std::string> &commands) { return console_commands({"-s", socket()}, commands); }
    // The commands over TCP.
    Outcome run_tcp(const std::vector<std::string> &commands) {
        return console_commands({"127.0.0.1", std::to_string(port_)}, commands);
    }

private:
    bool start(int port, const std::vector<std::string> &extra) {
        port_ = port;
        std::vector<std::string> argv = {ZN_ZNDEMO, "--no-console", "--port", std::to_string(port)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        process_ = std::make_unique<Background>(argv, dir());
        const std::string log = process_->stderr_until("zndemo: ready");
        return log.find("zndemo: ready") != std::string::npos;
    }

    dbtest::TempDir temp_;
    std::string dir_;
    int port_ = 0;
    bool ready_ = false;
    std::unique_ptr<Background> process_;
};

} // namespace apptest
