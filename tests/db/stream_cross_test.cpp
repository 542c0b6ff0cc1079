// Cross-build transfers: this build's sender feeding the other build's receiver and the other way
// round, each build in its own process (both export the same names).
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "stream_support.h"

using namespace dbtest;

namespace {

// The other build's stream_peer, run with the stream on descriptor fd (the
// channel's other end is closed in it); its standard output comes back.
class Peer {
public:
    Peer(const char *role, int fd, int other_end, bool swap) {
        int out[2];
        if (pipe(out) != 0)
            abort();
        fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(other_end);
            close(out[0]);
            close(out[1]);
            const std::string fd_text = std::to_string(fd);
            execl(ZN_OTHER_PEER, ZN_OTHER_PEER, role, fd_text.c_str(), swap ? "1" : "0",
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        close(out[1]);
        output_ = out[0];
    }
    ~Peer() { finish(); }
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    // The peer's output, once it has ended, and its exit status.
    std::string finish() {
        if (output_ >= 0) {
            text_ = read_all(output_);
            close(output_);
            output_ = -1;
            int status = 0;
            waitpid(pid_, &status, 0);
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return text_;
    }
    int status() const { return status_; }

private:
    pid_t pid_ = -1;
    int output_ = -1;
    int status_ = -1;
    std::string text_;
};

TEST(CrossBuild, ThisBuildSendsTheOtherReceives) {
    for (bool swap : {false, true}) {
        db_set_byte_swap(swap);
        Channel channel;
        Peer peer("recv", channel.reader(), channel.writer(), swap);
        channel.close_reader();
        DataBase *db = cross_database();
        const Outcome sent = send_on(channel.writer(), db);
        write_all(channel.writer(), "TAIL");
        channel.close_writer();
        EXPECT_TRUE(sent.complete) << sent.output;
        EXPECT_EQ(peer.finish(), digest(db) + "\n--\nTAIL") << "swap " << swap;
        EXPECT_EQ(peer.status(), 0);
        db_close_all();
    }
}

TEST(CrossBuild, TheOtherSendsThisBuildReceives) {
    for (bool swap : {false, true}) {
        db_set_byte_swap(swap);
        const std::string expected = digest(cross_database());
        db_close_all();
        Channel channel;
        Peer peer("send", channel.writer(), channel.reader(), swap);
        channel.close_writer();
        const Outcome received = recv_on(channel.reader());
        EXPECT_TRUE(received.complete) << received.output;
        ASSERT_NE(_db_list, nullptr);
        EXPECT_EQ(digest(_db_list->db), expected) << "swap " << swap;
        EXPECT_EQ(read_all(channel.reader()), "TAIL");
        peer.finish();
        EXPECT_EQ(peer.status(), 0);
        db_close_all();
    }
}

} // namespace
