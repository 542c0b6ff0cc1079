// The local console socket in process: its file and mode, what it replaces and leaves alone, and its users.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "child.h"
#include "db_support.h"
#include "remote.h"
#include "session.h"

using dbtest::TempDir;
using zntest::report;
using zntest::run_in_child;

namespace {

struct stat lstat_of(const std::string &path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st;
}

// The descriptor the scheduler knows by name, or -1.
int registered_fd(const char *name) {
    for (SchedFD *f = SchedFDs; f; f = f->next)
        if (strcmp(f->name, name) == 0)
            return f->fd;
    return -1;
}

// A socket bound at path; listening when listening is set. The caller
// closes it (a closed socket that was never unlinked is stale).
int bound_socket(const std::string &path, bool listening) {
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    REQUIRE(bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0);
    if (listening)
        REQUIRE(listen(s, 4) == 0);
    return s;
}

// cli_listen_unix in a fresh console with its debug lines; reports the
// result, errno's name and the lines.
void listen_and_report(const std::string &path, int mode = 0600) {
    zntest::init_console();
    zntest::DebugPipe debug;
    const int rc = cli_listen_unix(path.c_str(), mode);
    report(rc == 0 ? std::string("0") : std::string("-1 ") + strerrorname_np(errno));
    report("|" + debug.take());
}

TEST(LocalSocket, TheFileHasExactlyTheModeWhateverTheUmask) {
    TempDir dir;
    const struct {
        mode_t umask_value;
        int mode;
    } cases[] = {{0, 0600}, {0777, 0660}, {022, 0666}, {0, 0}};
    for (const auto &c : cases) {
        const std::string path = dir / ("m" + std::to_string(c.mode) + ".sock");
        auto child = run_in_child([&] {
            zntest::init_console();
            umask(c.umask_value);
            REQUIRE(cli_listen_unix(path.c_str(), c.mode) == 0);
            REQUIRE(umask(0) == c.umask_value); // the umask is as it was
        });
        EXPECT_TRUE(child.returned()) << child.errors;
        const struct stat st = lstat_of(path);
        EXPECT_TRUE(S_ISSOCK(st.st_mode)) << path;
        EXPECT_EQ(st.st_mode & 07777, static_cast<mode_t>(c.mode)) << "umask " << c.umask_value;
    }
}

TEST(LocalSocket, AcceptedUsersAreLocalUsersWithTheirPeersCredentials) {
    TempDir dir;
    auto child = run_in_child([&] {
        zntest::init_console();
        zntest::DebugPipe debug;
        REQUIRE(cli_listen_unix((dir / "c.sock").c_str(), 0600) == 0);
        const int listener = registered_fd("CLI Local Accept");
        REQUIRE(listener >= 0 && sched_find_fd(listener)->flags == (SCHED_FD_READ | SCHED_FD_EXCEPT));
        REQUIRE(fcntl(listener, F_GETFD) & FD_CLOEXEC);
        zntest::Client client(dir / "c.sock");
        REQUIRE(client.connected());
        cli_fd_event(listener, nullptr, 1, 0, 0);
        CmdUser *up = CmdUserList;
        REQUIRE(up && up->in_fd == up->out_fd && std::string(up->who) == "Local User");
        REQUIRE(up->state == CLI_STATE_MAGIC && up->raddr.sin_family == 0);
        REQUIRE(fcntl(up->in_fd, F_GETFL) & O_NONBLOCK);
        REQUIRE(sched_find_fd(up->in_fd)->flags == 5);
        uid_t uid = 1;
        gid_t gid = 1;
        pid_t pid = 1;
        REQUIRE(cli_user_credentials(up, &uid, &gid, &pid) == 0);
        REQUIRE(uid == geteuid() && gid == getegid() && pid == getpid());
        // The same handshake and line protocol as over TCP.
        client.send(zntest::kHandshake + "help x\n");
        cli_fd_event(up->in_fd, up, 1, 0, 0);
        report(client.read_until("> ", 2000));
        report(client.read_until("> ", 2000));
        const std::string lines = debug.take();
        REQUIRE(lines.find("cli_listen_unix: Listening on " + dir.path() + "/c.sock, mode 0600\n") !=
                std::string::npos);
        REQUIRE(lines.find("cli_fd_event: New Local Connection from pid " + std::to_string(getpid()) +
                           ", uid 0, gid 0\n") != std::string::npos);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, zntest::kAck + "> \nUnable to find any help on that command\n> ");
}

TEST(LocalSocket, AStaleSocketIsReplaced) {
    TempDir dir;
    const std::string path = dir / "stale.sock";
    close(bound_socket(path, true)); // its process went without removing it
    auto child = run_in_child([&] {
        listen_and_report(path);
        zntest::Client client(path);
        REQUIRE(client.connected());
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "0|cli_listen_unix: Replacing stale socket " + path + "\n"
                            "cli_listen_unix: Listening on " + path + ", mode 0600\n");
}

TEST(LocalSocket, ALiveSocketIsLeftAlone) {
    TempDir dir;
    const std::string path = dir / "live.sock";
    const int other = bound_socket(path, true);
    const struct stat before = lstat_of(path);
    auto child = run_in_child([&] { listen_and_report(path); });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "-1 EADDRINUSE|cli_listen_unix: ERR - Another process listens on " + path +
                                ", left untouched\n");
    const struct stat after = lstat_of(path);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    zntest::Client still(path);
    EXPECT_TRUE(still.connected()) << "the other process still listens there";
    close(other);
}

TEST(LocalSocket, AnythingButASocketIsLeftAlone) {
    TempDir dir;
    const std::string file = dir / "file", link = dir / "link", directory = dir / "directory";
    dbtest::write_file(file, "precious\n");
    chmod(file.c_str(), 0640);
    // A link to a stale socket: the link is no socket, whatever it points to.
    close(bound_socket(dir / "stale.sock", true));
    symlink((dir / "stale.sock").c_str(), link.c_str());
    mkdir(directory.c_str(), 0700);
    for (const std::string &path : {file, link, directory}) {
        const struct stat before = lstat_of(path);
        auto child = run_in_child([&] { listen_and_report(path); });
        EXPECT_TRUE(child.returned()) << child.errors;
        EXPECT_EQ(child.output, "-1 EEXIST|cli_listen_unix: ERR - " + path + " exists and is not a socket, "
                                                                            "left untouched\n");
        const struct stat after = lstat_of(path);
        EXPECT_EQ(after.st_ino, before.st_ino) << path;
        EXPECT_EQ(after.st_mode, before.st_mode) << path;
    }
    EXPECT_EQ(dbtest::read_file(file), "precious\n");
    EXPECT_TRUE(S_ISSOCK(lstat_of(dir / "stale.sock").st_mode));
}

TEST(LocalSocket, RequestsThatCannotBeServed) {
    TempDir dir;
    auto child = run_in_child([&] {
        zntest::DebugPipe debug;
        errno = 0;
        REQUIRE(cli_listen_unix((dir / "a.sock").c_str(), 0600) == -1 && errno == ENODEV);
        report(debug.take());
        zntest::init_console();
        debug.take();
        REQUIRE(cli_listen_unix(nullptr, 0600) == -1 && errno == EINVAL);
        REQUIRE(cli_listen_unix("", 0600) == -1 && errno == EINVAL);
        REQUIRE(cli_listen_unix((dir / "a.sock").c_str(), 010000) == -1 && errno == EINVAL);
        REQUIRE(cli_listen_unix((dir / "a.sock").c_str(), -1) == -1 && errno == EINVAL);
        REQUIRE(cli_listen_unix((dir.path() + "/" + std::string(120, 'x')).c_str(), 0600) == -1 &&
                errno == ENAMETOOLONG);
        REQUIRE(cli_listen_unix((dir / "missing/a.sock").c_str(), 0600) == -1 && errno == ENOENT);
        REQUIRE(cli_listen_unix((dir / "a.sock").c_str(), 0600) == 0);
        REQUIRE(cli_listen_unix((dir / "b.sock").c_str(), 0600) == -1 && errno == EALREADY);
        REQUIRE(registered_fd("CLI Local Accept") >= 0);
        report(debug.take());
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output,
              "cli_listen_unix: Called before initialization\n"
              "cli_listen_unix: ERR - Received NULL or 0 len path, or a mode beyond 07777\n"
              "cli_listen_unix: ERR - Received NULL or 0 len path, or a mode beyond 07777\n"
              "cli_listen_unix: ERR - Received NULL or 0 len path, or a mode beyond 07777\n"
              "cli_listen_unix: ERR - Received NULL or 0 len path, or a mode beyond 07777\n"
              "cli_listen_unix: ERR - Path too long for a socket\n"
              "cli_listen_unix: ERR - Unable to bind " + dir.path() + "/missing/a.sock (No such file or directory)\n"
              "cli_listen_unix: Listening on " + dir.path() + "/a.sock, mode 0600\n"
              "cli_listen_unix: ERR - Already listening on a local socket\n");
    EXPECT_FALSE(dbtest::exists(dir / "b.sock"));
}

// Shuts the program down from the loop; the clean-up removes the file
// unless replace has put another one in its place.
void shut_down(void *) { sched_shutdown(); }

TEST(LocalSocket, TheFileGoesAtShutdownButOnlyItsOwn) {
    TempDir dir;
    for (const bool replaced : {false, true}) {
        const std::string path = dir / "s.sock";
        auto child = run_in_child([&] {
            zntest::init_console();
            REQUIRE(cli_listen_unix(path.c_str(), 0600) == 0);
            if (replaced) {
                unlink(path.c_str());
                dbtest::write_file(path, "someone else's\n");
            }
            static char name[] = "shut down";
            sched_task(shut_down, nullptr, SCHED_IMMEDIATE, 0, name);
            sched_loop();
        });
        EXPECT_TRUE(child.exited_zero()) << child.errors;
        EXPECT_EQ(dbtest::exists(path), replaced);
        unlink(path.c_str());
    }
}

} // namespace
