// Transfers through the scheduler's loop (integrated build): completion and failure, time-outs,
// the descriptor's own registration set aside and put back, and a loop that never waits for a peer.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/time.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "child.h"
#include "stream_support.h"

using namespace dbtest;
using zntest::report;
using zntest::run_in_child;

namespace {

char app_name[] = "application connection";

// The application's own use of a descriptor: what its handler read, and how
// often it ran.
struct AppConn {
    std::string got;
    int calls = 0;
};

void app_handler(int fd, void *arg, int r, int, int) {
    auto *conn = static_cast<AppConn *>(arg);
    ++conn->calls;
    char buf[256];
    const ssize_t n = r ? read(fd, buf, sizeof buf) : 0;
    if (n > 0)
        conn->got.append(buf, static_cast<size_t>(n));
}

void register_app(int fd, AppConn &conn) {
    ASSERT_EQ(sched_add_fd(fd, app_handler, &conn, SCHED_FD_READ | SCHED_FD_EXCEPT, app_name), 0);
}

// The application's registration is there again, exactly.
void expect_app_registration(int fd, AppConn &conn) {
    const SchedFD *rec = sched_find_fd(fd);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->handler, app_handler);
    EXPECT_EQ(rec->arg, &conn);
    EXPECT_EQ(rec->flags, SCHED_FD_READ | SCHED_FD_EXCEPT);
    EXPECT_STREQ(rec->name, app_name);
}

bool task_pending(const char *name) {
    return sched_find_task(nullptr, nullptr, const_cast<char *>(name), SCHED_MATCH_NAME) != nullptr;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class Async : public ::testing::Test {
protected:
    void SetUp() override { ensure_scheduler(); }
};

TEST_F(Async, BothEndsInOneLoopWhileOtherWorkGoesOn) {
    DataBase *db = many_records(20000);
    const std::string sent = digest(db);
    Channel channel;
    const int a = channel.writer(), b = channel.reader();
    AppConn app_a;
    register_app(a, app_a);
    Channel busy(Transport::pipe); // always readable: served in every pass
    write_all(busy.writer(), "x");
    AppConn busy_conn;
    ASSERT_EQ(sched_add_fd(busy.reader(), [](int, void *arg, int, int, int) { ++static_cast<AppConn *>(arg)->calls; },
                           &busy_conn, SCHED_FD_READ, app_name), 0);
    std::string sender_done, receiver_done;
    ASSERT_EQ(db_send(a, db, note_callback, &sender_done), 0);
    ASSERT_EQ(db_recv(b, note_callback, &receiver_done), 0);
    EXPECT_STREQ(sched_find_fd(a)->name, "Sending DB");
    EXPECT_STREQ(sched_find_fd(b)->name, "Receiving DB");
    EXPECT_TRUE(task_pending("CHECK TRANSACTION"));
    int passes = 0;
    run_transfers({a, b}, [&] { ++passes; });

    EXPECT_EQ(sender_done, "DB Callback");
    EXPECT_EQ(receiver_done, "DB Callback");
    ASSERT_EQ(_db_list_end->db != db, true);
    EXPECT_EQ(digest(_db_list_end->db), sent);
    expect_app_registration(a, app_a);
    EXPECT_EQ(sched_find_fd(b), nullptr) << "no registration before, none after";
    EXPECT_FALSE(task_pending("CHECK TRANSACTION"));
    EXPECT_EQ(fcntl(a, F_GETFL) & O_NONBLOCK, 0) << "status flags put back";
    EXPECT_EQ(fcntl(b, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(app_a.calls, 0) << "the application's handler rests during the transfer";
    EXPECT_GT(busy_conn.calls, 2) << "other descriptors are served between events";
    EXPECT_LT(passes, 2000) << "an event moves many records (" << passes << " passes)";
}

TEST_F(Async, StateShowsTheTransferAndItsSavedRegistration) {
    Channel channel;
    AppConn app;
    register_app(channel.reader(), app);
    StreamEncoder s;
    s.header("watched", "", 0, 1);
    write_all(channel.writer(), s.bytes());
    std::string done;
    ASSERT_EQ(db_recv(channel.reader(), note_callback, &done), 0);
    const SchedFD *rec = sched_find_fd(channel.reader());
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->handler, db_fd_event);
    EXPECT_EQ(rec->flags, SCHED_FD_READ | SCHED_FD_EXCEPT);
    const auto *state = static_cast<const dBTransState *>(rec->arg);
    EXPECT_EQ(state->fd, channel.reader());
    EXPECT_EQ(state->callback, note_callback);
    EXPECT_EQ(state->arg, &done);
    EXPECT_STREQ(state->db->table_name, "watched");
    EXPECT_EQ(_db_list, nullptr) << "not in the catalogue before its end word";
    EXPECT_STREQ(state->fd_save.name, app_name);
    EXPECT_EQ(state->fd_save.handler, app_handler);
    write_all(channel.writer(), StreamEncoder().record({"r"}).end().bytes());
    run_transfers({channel.reader()});
    EXPECT_EQ(done, "DB Callback");
    ASSERT_NE(_db_list, nullptr);
    EXPECT_EQ(walk_first_params(_db_list->db), "r");
}

TEST_F(Async, EmptyDatabaseCompletesWithItsEndWordAndLeavesTheRest) {
    Channel channel;
    AppConn app;
    register_app(channel.reader(), app);
    StreamEncoder s;
    s.header("empty", "none", 4, 0).end();
    write_all(channel.writer(), s.bytes() + "TAIL");
    std::string done;
    ASSERT_EQ(db_recv(channel.reader(), note_callback, &done), 0);
    EXPECT_EQ(_db_list, nullptr) << "the end word comes through an event";
    run_transfers({channel.reader()});
    EXPECT_EQ(done, "DB Callback");
    ASSERT_NE(_db_list, nullptr);
    EXPECT_EQ(db_records(_db_list->db), 0);
    // The application's handler is back and gets what followed the stream.
    run_loop_until([&] { return app.got == "TAIL"; });
    EXPECT_EQ(app.got, "TAIL");
}

// The application's handler reads a request line and hands its descriptor
// to db_recv from inside the handler; afterwards it gets its descriptor back
// with whatever followed the stream.
struct Requests {
    std::string got, done;
};

void request_handler(int fd, void *arg, int r, int, int) {
    auto *req = static_cast<Requests *>(arg);
    char c;
    while (r && read(fd, &c, 1) == 1) {
        req->got += c;
        if (req->got == "DB\n") {
            REQUIRE(db_recv(fd, note_callback, &req->done) == 0);
            return;
        }
        if (c == '\n')
            return;
    }
}

TEST_F(Async, StartedFromTheApplicationsOwnHandler) {
    Channel channel;
    Requests req;
    ASSERT_EQ(sched_add_fd(channel.reader(), request_handler, &req, SCHED_FD_READ, app_name), 0);
    write_all(channel.writer(), "DB\n" + sample_stream().bytes() + "after\n");
    run_loop_until([&] { return !req.done.empty() && req.got == "DB\nafter\n"; });
    EXPECT_EQ(req.done, "DB Callback");
    EXPECT_EQ(req.got, "DB\nafter\n");
    ASSERT_NE(_db_list, nullptr);
    EXPECT_EQ(db_records(_db_list->db), 3);
    const SchedFD *rec = sched_find_fd(channel.reader());
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->handler, request_handler);
}

TEST_F(Async, PeerClosingMidRecordFailsWithoutCallback) {
    Channel channel;
    AppConn app;
    register_app(channel.reader(), app);
    StreamEncoder s;
    s.header("partial", "", 0, 2).record({"whole"}).count(2).param("x").length(5).raw("ab", StreamEncoder::Kind::value);
    write_all(channel.writer(), s.bytes());
    std::string done;
    const std::string out = stdout_of([&] {
        ASSERT_EQ(db_recv(channel.reader(), note_callback, &done), 0);
        channel.close_writer();
        run_transfers({channel.reader()});
    });
    EXPECT_EQ(out, "[db_recv_dbi] ERROR: Did not recieve entire PARM\n");
    EXPECT_EQ(done, "");
    EXPECT_EQ(_db_list, nullptr);
    expect_app_registration(channel.reader(), app);
    EXPECT_FALSE(task_pending("CHECK TRANSACTION"));
    EXPECT_FALSE(task_pending("DB Callback"));
}

TEST_F(Async, StalledReceiverTimesOut) {
    Channel channel;
    AppConn app;
    register_app(channel.reader(), app);
    StreamEncoder s;
    s.header("stalled", "", 0, 1).count(1).length(10).raw("half", StreamEncoder::Kind::value);
    write_all(channel.writer(), s.bytes()); // and then nothing, while staying connected
    std::string done;
    const auto start = std::chrono::steady_clock::now();
    const std::string out = stdout_of([&] {
        ASSERT_EQ(db_recv(channel.reader(), note_callback, &done), 0);
        run_transfers({channel.reader()});
    });
    const double took = seconds_since(start);
    EXPECT_EQ(out, "[db_check_transaction] Time Out! Aborting\n");
    EXPECT_EQ(done, "DB Callback - ERROR");
    EXPECT_EQ(_db_list, nullptr) << "the partly received database is released";
    expect_app_registration(channel.reader(), app);
    EXPECT_GE(took, 1.0);
    EXPECT_LT(took, 5.0);
}

TEST_F(Async, StalledSenderTimesOut) {
    DataBase *db = many_records(50000); // more than the socket buffers hold
    Channel channel; // nobody reads
    std::string done;
    const std::string out = stdout_of([&] {
        ASSERT_EQ(db_send(channel.writer(), db, note_callback, &done), 0);
        run_transfers({channel.writer()});
    });
    EXPECT_EQ(out, "[db_check_transaction] Time Out! Aborting\n");
    EXPECT_EQ(done, "DB Callback - ERROR");
    EXPECT_EQ(sched_find_fd(channel.writer()), nullptr);
    EXPECT_EQ(_db_list->db, db) << "the sent database stays";
}

TEST_F(Async, ClockSetBackEndsTheTransferAtTheNextCheck) {
    Channel channel;
    write_all(channel.writer(), StreamEncoder().header("clock", "", 0, 1).bytes());
    std::string done;
    ASSERT_EQ(db_recv(channel.reader(), note_callback, &done), 0);
    // As if the clock had gone back since the last event: the unsigned
    // difference at the next check is huge.
    auto *state = static_cast<dBTransState *>(sched_find_fd(channel.reader())->arg);
    state->last += 1000;
    const auto start = std::chrono::steady_clock::now();
    const std::string out = stdout_of([&] { run_transfers({channel.reader()}); });
    EXPECT_EQ(out, "[db_check_transaction] Time Out! Aborting\n");
    EXPECT_EQ(done, "DB Callback - ERROR");
    EXPECT_LT(seconds_since(start), 2.5);
}

TEST_F(Async, FailedHeaderLeavesNothingBehind) {
    Channel closed;
    closed.close_reader();
    AppConn app;
    register_app(closed.writer(), app);
    std::string done;
    const std::string sent = stdout_of([&] {
        EXPECT_EQ(db_send(closed.writer(), many_records(3), note_callback, &done), -1);
    });
    EXPECT_EQ(sent, "[db_send] Error: Could not send DB Start\n");
    expect_app_registration(closed.writer(), app);

    Channel bad;
    AppConn app_b;
    register_app(bad.reader(), app_b);
    write_all(bad.writer(), "not a stream at all");
    const std::string received = stdout_of([&] {
        EXPECT_EQ(db_recv(bad.reader(), note_callback, &done), -1);
    });
    EXPECT_EQ(received, "[db_recv] Error: Received invalid DB Start magic\n");
    expect_app_registration(bad.reader(), app_b);
    EXPECT_EQ(fcntl(bad.reader(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_FALSE(task_pending("CHECK TRANSACTION"));
    EXPECT_EQ(done, "");
}

TEST_F(Async, NullDatabaseStartsNothing) {
    Channel channel;
    std::string done;
    EXPECT_EQ(db_send(channel.writer(), nullptr, note_callback, &done), 0);
    EXPECT_EQ(sched_find_fd(channel.writer()), nullptr);
    EXPECT_FALSE(task_pending("CHECK TRANSACTION"));
    EXPECT_FALSE(task_pending("DB Callback"));
}

TEST_F(Async, SeveralReceiversAtOnce) {
    Channel c1, c2, c3;
    Feeder f1(c1, StreamEncoder().header("one", "", 1, 1).record({"1"}).end().bytes(), false);
    Feeder f2(c2, sample_stream().bytes(), false);
    Feeder f3(c3, StreamEncoder().header("three", "", 3, 0).end().bytes(), false);
    std::string d1, d2, d3;
    ASSERT_EQ(db_recv(c1.reader(), note_callback, &d1), 0);
    ASSERT_EQ(db_recv(c2.reader(), note_callback, &d2), 0);
    ASSERT_EQ(db_recv(c3.reader(), note_callback, &d3), 0);
    run_transfers({c1.reader(), c2.reader(), c3.reader()});
    EXPECT_EQ(d1 + "," + d2 + "," + d3, "DB Callback,DB Callback,DB Callback");
    ASSERT_NE(db_find_dbase(str("sample")), nullptr);
    EXPECT_EQ(db_version(db_find_dbase(str("three"))), 3);
    EXPECT_EQ(walk_first_params(db_find_dbase(str("one"))), "1");
}

// ---- the loop never waits for a peer ----

// Half of a stream is offered; the rest only after a task of the loop has
// run while the transfer holds the descriptor. A transfer that waited for
// its peer inside an event would never let the task run: the child would
// hang until its alarm.
TEST(AsyncPace, ReceiverLetsTheLoopRunWhileAFieldIsIncomplete) {
    const auto child = run_in_child([] {
        ensure_scheduler();
        DataBase *db = many_records(3000, "paced");
        const std::string sent = digest(db);
        Channel relay;
        Drain encoded(relay);
        REQUIRE(send_on(relay.writer(), db).complete);
        relay.close_writer();
        const std::string bytes = encoded.bytes();
        db_close_all();

        Channel channel, go(Transport::pipe);
        const size_t half = bytes.size() / 2 + 3; // inside a field
        std::thread peer([&] {
            write_all(channel.writer(), bytes.substr(0, half));
            char c;
            REQUIRE(read(go.reader(), &c, 1) == 1);
            write_all(channel.writer(), bytes.substr(half));
        });
        int go_fd = go.writer();
        std::string done;
        REQUIRE(db_recv(channel.reader(), note_callback, &done) == 0);
        run_transfers({channel.reader()}, [&] {
            if (go_fd >= 0 && transfer_holds(channel.reader())) {
                REQUIRE(write(go_fd, "g", 1) == 1);
                go_fd = -1;
            }
        });
        peer.join();
        REQUIRE(done == "DB Callback");
        REQUIRE(digest(_db_list->db) == sent);
        report("received");
    }, 20);
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "received");
}

TEST(AsyncPace, SenderLetsTheLoopRunWhileThePeerDoesNotRead) {
    const auto child = run_in_child([] {
        ensure_scheduler();
        DataBase *db = many_records(50000, "pushed");
        Channel channel, go(Transport::pipe);
        std::string got;
        std::thread peer([&] {
            char c;
            REQUIRE(read(go.reader(), &c, 1) == 1);
            got = read_all(channel.reader());
        });
        int go_fd = go.writer(), passes = 0;
        std::string done;
        REQUIRE(db_send(channel.writer(), db, note_callback, &done) == 0);
        run_transfers({channel.writer()}, [&] {
            // Some passes while the socket is full, then the peer reads.
            if (go_fd >= 0 && transfer_holds(channel.writer()) && ++passes == 50) {
                REQUIRE(write(go_fd, "g", 1) == 1);
                go_fd = -1;
            }
        });
        channel.close_writer();
        peer.join();
        REQUIRE(done == "DB Callback");
        REQUIRE(got.size() > 50000u * 30);
        report("sent");
    }, 20);
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "sent");
}

} // namespace
