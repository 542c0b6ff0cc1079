// The transfer stream byte for byte, in both builds: what senders write, what receivers make of
// hand-made, damaged and cut streams, and how both ends treat their descriptors.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <string>

#include "child.h"
#include "stream_support.h"

using namespace dbtest;
using Kind = StreamEncoder::Kind;
using zntest::report;
using zntest::report_fd;
using zntest::run_in_child;

namespace {

#ifdef ZNDB_STANDALONE
constexpr bool standalone = true;
#else
constexpr bool standalone = false;
#endif

const Transport transports[] = {Transport::socket, Transport::pipe};

// ---- what senders write ----

TEST(StreamBytes, EmptyDatabaseIsTheHeaderAndTheEndWord) {
    DataBase *db = db_create(str("empty"), str("nothing here"), 12);
    StreamEncoder expected;
    expected.header("empty", "nothing here", 12, 0).end();
    const std::string bytes = stream_of(db);
    EXPECT_EQ(bytes, expected.bytes());
    EXPECT_EQ(bytes.size(), 176u);
    EXPECT_EQ(bytes.substr(0, 4), "\xBE\xBA\xFE\xCA");
    EXPECT_EQ(bytes.substr(172), "\xEF\xBE\xAD\xDE");
}

TEST(StreamBytes, RecordsInListOrderInHostOrder) {
    for (Transport t : transports)
        EXPECT_EQ(stream_of(sample_database(), t), sample_stream().bytes()) << name_of(t);
}

TEST(StreamBytes, EveryWordReversedWhileByteSwapping) {
    db_set_byte_swap(1);
    const std::string bytes = stream_of(sample_database());
    EXPECT_EQ(bytes, sample_stream(true).bytes());
    EXPECT_EQ(bytes.substr(0, 4), "\xCA\xFE\xBA\xBE");
    EXPECT_EQ(bytes.substr(164, 8), std::string("\0\0\0\x07\0\0\0\x03", 8)) << "version, count";
    EXPECT_EQ(bytes.substr(bytes.size() - 4), "\xDE\xAD\xBE\xEF");
}

TEST(StreamBytes, NameFieldsGoAsTheyAreInMemory) {
    DataBase *db = db_create(str("t"), str("d"), 0);
    memcpy(db->table_name + 2, "junk", 4);
    memcpy(db->dbname->name + 2, "more", 4);
    const std::string bytes = stream_of(db);
    EXPECT_EQ(bytes.substr(4, 8), std::string("t\0junk\0\0", 8));
    EXPECT_EQ(bytes.substr(84, 8), std::string("d\0more\0\0", 8));
}

TEST(StreamBytes, StoredNegativeLengthIsItsWordAlone) {
    DataBase *db = db_create(str("neg"), str(""), 0);
    DataBaseInfo *dbi = db_new(db);
    db_param_new(dbi, -7, nullptr);
    db_param_new(dbi, 1, str("z"));
    StreamEncoder expected;
    expected.header("neg", "", 0, 1).count(2).length(-7).param("z").end();
    EXPECT_EQ(stream_of(db), expected.bytes());
}

TEST(StreamBytes, ValuesLargerThanABatchGoWhole) {
    DataBase *db = db_create(str("big"), str(""), 0);
    const std::string big(700 * 1024, 'q');
    add_record(db, {"a", big, "b"});
    add_record(db, {"c"});
    StreamEncoder expected;
    expected.header("big", "", 0, 2).record({"a", big, "b"}).record({"c"}).end();
    EXPECT_TRUE(stream_of(db) == expected.bytes());
}

TEST(StreamBytes, NullDatabaseWritesNothing) {
    Channel channel;
    const Outcome o = send_on(channel.writer(), nullptr);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.callback, "") << "no callback for a null database";
    EXPECT_EQ(o.output, "");
    channel.close_writer();
    EXPECT_EQ(read_all(channel.reader()), "");
}

// ---- what receivers make of streams ----

TEST(StreamReceive, RoundTripKeepsEverything) {
    for (bool swap : {false, true})
        for (Transport t : transports) {
            db_set_byte_swap(swap);
            const std::string sent = digest(sample_database());
            db_close_all();
            const Received r = receive(sample_stream(swap).bytes(), t);
            EXPECT_TRUE(r.complete) << name_of(t) << r.output;
            EXPECT_EQ(r.result, 0);
            EXPECT_EQ(digest(r.db), sent) << name_of(t) << " swap " << swap;
            EXPECT_EQ(r.output, "");
            EXPECT_EQ(db_cur(r.db), r.db->dbinfo) << "cursor at the first record";
            db_close_all();
        }
}

TEST(StreamReceive, RecordCountOfTheHeaderIsKept) {
    StreamEncoder s;
    s.header("five", "says five", 1, 5).record({"one"}).record({"two", "2"}).end();
    const Received r = receive(s.bytes());
    ASSERT_TRUE(r.complete) << r.output;
    EXPECT_EQ(walk_first_params(r.db), "one,two");
    EXPECT_EQ(db_records(r.db), 5);
}

TEST(StreamReceive, RecordsArriveWhateverTheCountSays) {
    StreamEncoder s;
    s.header("zero", "", 0, 0).record({"x"}).end();
    const Received r = receive(s.bytes());
    ASSERT_TRUE(r.complete) << r.output;
    EXPECT_EQ(walk_first_params(r.db), "x");
    EXPECT_EQ(db_records(r.db), 0);
}

TEST(StreamReceive, NothingAfterTheEndWordIsConsumed) {
    StreamEncoder empty, full;
    empty.header("e", "", 0, 0).end();
    full.header("f", "", 0, 1).record({"v"}).end();
    for (const StreamEncoder *s : {&empty, &full})
        for (Transport t : transports) {
            const Received r = receive(s->bytes() + "TAIL of the application", t);
            EXPECT_TRUE(r.complete) << name_of(t) << r.output;
            EXPECT_EQ(r.rest, "TAIL of the application") << name_of(t);
        }
}

TEST(StreamReceive, BadStartWordIsRefused) {
    StreamEncoder s;
    s.word(0x12345678, Kind::start);
    const Received r = receive(s.bytes() + std::string(200, 'x'));
    EXPECT_EQ(r.result, -1);
    EXPECT_FALSE(r.complete);
    EXPECT_EQ(r.output, "[db_recv] Error: Received invalid DB Start magic\n");
    EXPECT_EQ(_db_list, nullptr);
}

TEST(StreamReceive, SwapSettingsMustAgree) {
    for (bool swap : {false, true}) {
        db_set_byte_swap(!swap);
        const Received r = receive(sample_stream(swap).bytes());
        EXPECT_EQ(r.result, -1);
        EXPECT_EQ(r.output, "[db_recv] Error: Received invalid DB Start magic\n");
        EXPECT_EQ(_db_list, nullptr);
    }
}

// The diagnostics of a stream cut inside (or at the start of) a field.
std::string cut_message(Kind kind) {
    const std::string dbi = standalone ? "[db_recv] Error: Could not receive DBI\n" : "";
    switch (kind) {
    case Kind::start:
        return "[db_recv] Error: Did not receive DB Start\n";
    case Kind::name:
        return "[db_recv] Error: Did not receive DB Name\n";
    case Kind::header:
        return "[db_recv] Error: Did not receive full DBN\n";
    case Kind::count:
    case Kind::end:
        return "[db_recv_dbi] ERROR: Received invalid len on NUM PARMS\n" + dbi;
    case Kind::length:
        return "[db_recv_dbi] ERROR: Received invalid PARM LEN\n" + dbi;
    case Kind::value:
        return "[db_recv_dbi] ERROR: Did not recieve entire PARM\n" + dbi;
    }
    return "";
}

TEST(StreamReceive, CutAtEveryByteFailsWithTheFieldsMessage) {
    const StreamEncoder s = sample_stream();
    const std::string &bytes = s.bytes();
    for (Transport t : transports)
        for (size_t cut = 0; cut < bytes.size(); ++cut) {
            const Kind kind = s.field_at(cut);
            const bool in_header = kind == Kind::start || kind == Kind::name || kind == Kind::header;
            const Received r = receive(bytes.substr(0, cut), t);
            ASSERT_EQ(r.output, cut_message(kind)) << name_of(t) << " cut at " << cut;
            ASSERT_FALSE(r.complete);
            ASSERT_TRUE(r.callback.empty()) << "a failed transfer has no callback";
            // The integrated build returns once the header is in; records fail later.
            ASSERT_EQ(r.result, standalone || in_header ? -1 : 0) << cut;
            ASSERT_EQ(_db_list, nullptr) << "nothing is left behind";
        }
}

TEST(StreamReceive, FullNameFieldsAreTerminatedAtByte79) {
    StreamEncoder s;
    s.start().raw(std::string(80, 'T'), Kind::name);
    Encoder header;
    header.raw(std::string(80, 'D')).word(3).word(0);
    s.raw(header.bytes(), Kind::header).end();
    const Received r = receive(s.bytes());
    ASSERT_TRUE(r.complete) << r.output;
    EXPECT_EQ(std::string(r.db->table_name), std::string(79, 'T'));
    EXPECT_EQ(std::string(db_name(r.db)), std::string(79, 'D'));
    EXPECT_EQ(db_version(r.db), 3);
    EXPECT_EQ(db_find_dbase(str(std::string(79, 'T'))), r.db);
}

TEST(StreamReceive, NegativeLengthIsAParameterWithoutValue) {
    StreamEncoder s;
    s.header("n", "", 0, 1).count(3).length(-1).param("after").length(INT32_MIN).end();
    const Received r = receive(s.bytes());
    ASSERT_TRUE(r.complete) << r.output;
    EXPECT_EQ(digest(r.db), "n||0|1\n3: -1= 5=after -2147483648=");
}

TEST(StreamReceive, ImpossibleLengthFailsAtOnceWithoutAllocating) {
    for (int32_t huge : {INT32_MAX, 256 * 1024 * 1024 + 1}) {
        Channel channel;
        StreamEncoder s;
        s.header("h", "", 0, 1).count(1).length(huge);
        write_all(channel.writer(), s.bytes());
        db_set_verbose(0); // printed whatever the setting
        // The sender stays connected: the receiver must not wait for the value.
        const Outcome o = recv_on(channel.reader());
        db_set_verbose(1);
        EXPECT_EQ(o.output, "[db_recv_db] ERROR: Unable to allocate memory\n");
        EXPECT_FALSE(o.complete);
        EXPECT_EQ(_db_list, nullptr);
    }
}

TEST(StreamReceive, FieldsSplitIntoPiecesAreJoined) {
    const std::string expected = digest(sample_database());
    db_close_all();
    const std::string bytes = sample_stream().bytes() + "TAIL";
    for (Transport t : transports) {
        Channel channel(t);
        std::thread dribble([&] {
            for (char c : bytes) {
                write_all(channel.writer(), std::string(1, c));
                usleep(200);
            }
        });
        const Outcome o = recv_on(channel.reader());
        dribble.join();
        channel.close_writer();
        EXPECT_TRUE(o.complete) << name_of(t) << o.output;
        ASSERT_NE(_db_list, nullptr);
        EXPECT_EQ(digest(_db_list->db), expected);
        EXPECT_EQ(read_all(channel.reader()), "TAIL") << name_of(t);
        db_close_all();
    }
}

TEST(StreamReceive, LaterDatabaseOfTheSameNameComesAfterTheOlder) {
    DataBase *older = sample_database();
    const Received r = receive(sample_stream().bytes());
    ASSERT_TRUE(r.complete);
    EXPECT_NE(r.db, older);
    EXPECT_EQ(_db_list->db, older);
    EXPECT_EQ(db_find_dbase(str("sample")), older);
}

TEST(StreamReceive, QuietWhileNotVerbose) {
    db_set_verbose(0);
    EXPECT_EQ(receive(sample_stream().bytes().substr(0, 100)).output, "");
    EXPECT_EQ(receive("\x01\x02\x03\x04").output, "");
}

// ---- failed writes ----

// What sending the sample database prints when its file takes only `limit`
// bytes (writes beyond fail with EFBIG), and how the transfer ends.
std::string send_with_limit(const TempDir &dir, rlim_t limit) {
    const std::string path = dir / "limited";
    const auto child = run_in_child([&] {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit lim{limit, limit};
        REQUIRE(setrlimit(RLIMIT_FSIZE, &lim) == 0);
        dup2(report_fd(), STDOUT_FILENO);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        REQUIRE(fd >= 0);
        const Outcome o = send_on(fd, sample_database(), false);
        printf("result %d%s\n", o.result, o.complete ? " complete" : "");
        fflush(stdout);
    });
    return child.returned() ? child.output : "child failed: " + child.errors;
}

std::string send_failure(Kind kind) {
    const std::string dbi = standalone ? "[db_send] Error: Could not send DBI\n" : "";
    const std::string failed = standalone ? "result -1\n" : "result 0\n";
    switch (kind) {
    case Kind::start:
        return "[db_send] Error: Could not send DB Start\nresult -1\n";
    case Kind::name:
        return "[db_send] Error: Could not send DB name\nresult -1\n";
    case Kind::header:
        return "[db_send] Error: Could not send DB Name Struct\nresult -1\n";
    case Kind::count:
        return "[db_send_dbi] Error writing to socket\n" + dbi + failed;
    case Kind::length:
        return "[db_send_dbi] Error writing to socket (2)\n" + dbi + failed;
    case Kind::value:
        return "[db_send_dbi] Error writing to socket (3)\n" + dbi + failed;
    case Kind::end:
        // The integrated build reports a lost end word and completes all the same.
        return standalone ? "[db_send] Error writing END to socket\nresult -1\n"
                          : "[db_fd_event] Error writing END to socket\nresult 0 complete\n";
    }
    return "";
}

TEST(StreamSend, FailedWriteNamesTheFirstFieldNotWhollyOut) {
    TempDir dir;
    const StreamEncoder s = sample_stream();
    size_t begin = 0;
    for (const StreamEncoder::FieldEnd &f : s.fields()) {
        for (size_t limit : {begin, begin + (f.end - begin) / 2, f.end - 1}) {
            EXPECT_EQ(send_with_limit(dir, limit), send_failure(f.kind)) << "limit " << limit;
        }
        begin = f.end;
    }
    EXPECT_EQ(send_with_limit(dir, s.bytes().size()), "result 0 complete\n");
    EXPECT_EQ(read_file(dir / "limited"), s.bytes());
}

TEST(StreamSend, PeerGoneIsAFailureNotADeadProcess) {
    signal(SIGPIPE, SIG_DFL);
    sigset_t before, after, pending;
    sigprocmask(SIG_SETMASK, nullptr, &before);
    for (Transport t : transports) {
        Channel channel(t);
        channel.close_reader();
        const Outcome o = send_on(channel.writer(), sample_database());
        EXPECT_EQ(o.result, -1) << name_of(t);
        EXPECT_EQ(o.output, "[db_send] Error: Could not send DB Start\n") << name_of(t);
        DataBaseInfo *dbi = sample_database()->dbinfo;
        EXPECT_EQ(stdout_of([&] { EXPECT_EQ(db_send_dbi(channel.writer(), dbi), -1); }),
                  "[db_send_dbi] Error writing to socket\n");
    }
    sigprocmask(SIG_SETMASK, nullptr, &after);
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE));
    EXPECT_EQ(sigismember(&after, SIGPIPE), sigismember(&before, SIGPIPE));
}

// A reader process that exits in the middle of the stream: a pipe write cut
// short returns a byte count and still raises SIGPIPE, which must not end
// the sender once its signal mask is restored. Twenty runs, each leaving at
// another point.
TEST(StreamSend, ReaderProcessLeavingMidStreamCostsTheTransferNotTheProcess) {
    const auto child = run_in_child(
        [] {
            signal(SIGPIPE, SIG_DFL);
            db_set_verbose(0);
            DataBase *db = many_records(20000);
            for (int run = 0; run < 20; ++run) {
                int fds[2];
                REQUIRE(pipe(fds) == 0);
                const pid_t reader = fork();
                if (reader == 0) {
                    close(fds[1]);
                    char buf[4096];
                    for (size_t got = 0; got < 100000u + 7919u * run;) {
                        const ssize_t n = read(fds[0], buf, sizeof buf);
                        if (n <= 0)
                            break;
                        got += static_cast<size_t>(n);
                    }
                    _exit(0);
                }
                close(fds[0]);
                const Outcome o = send_on(fds[1], db, false);
                close(fds[1]);
                waitpid(reader, nullptr, 0);
                REQUIRE(!o.complete);
                REQUIRE(!standalone || o.result == -1);
            }
            sigset_t pending;
            REQUIRE(sigpending(&pending) == 0 && !sigismember(&pending, SIGPIPE));
        },
        60);
    EXPECT_TRUE(child.returned()) << "status " << child.status << " " << child.errors;
}

TEST(StreamSend, PeerLeavingMidStreamEndsTheSendAsFailed) {
    DataBase *db = db_create(str("many"), str(""), 0);
    for (int i = 0; i < 20000; ++i)
        add_record(db, {"some value", std::to_string(i)});
    Channel channel;
    std::thread reader([&] {
        char buf[1000];
        size_t got = 0;
        while (got < 5000) {
            const ssize_t n = read(channel.reader(), buf, sizeof buf);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        channel.close_reader();
    });
    const Outcome o = send_on(channel.writer(), db);
    reader.join();
    EXPECT_FALSE(o.complete);
    EXPECT_EQ(o.output.rfind("[db_send_dbi] Error writing to socket", 0), 0u) << o.output;
    if (standalone) {
        EXPECT_NE(o.output.find("[db_send] Error: Could not send DBI\n"), std::string::npos);
    }
}

// ---- single record blocks ----

TEST(RecordBlocks, SendWritesOneBlock) {
    DataBase *db = sample_database();
    Channel channel;
    EXPECT_EQ(db_send_dbi(channel.writer(), db->dbinfo), 0);
    EXPECT_EQ(db_send_dbi(channel.writer(), nullptr), -1);
    channel.close_writer();
    StreamEncoder expected;
    expected.record({"alpha", "", std::string("b\0in\xff", 5)});
    EXPECT_EQ(read_all(channel.reader()), expected.bytes());
}

TEST(RecordBlocks, ReceiveReadsOneBlockAndNoMore) {
    StreamEncoder s;
    s.record({"one", "1"}).record({}).end();
    for (Transport t : transports) {
        Channel channel(t);
        write_all(channel.writer(), s.bytes() + "after");
        channel.close_writer();
        DataBase *db = db_create(str("blocks"), str(""), 0);
        db->dbname->records = 40;
        EXPECT_EQ(db_recv_dbi(channel.reader(), db), 1);
        EXPECT_EQ(db_recv_dbi(channel.reader(), db), 1);
        EXPECT_EQ(db_recv_dbi(channel.reader(), db), 0) << "the end word";
        EXPECT_EQ(read_all(channel.reader()), "after") << name_of(t);
        EXPECT_EQ(digest(db), "blocks||0|40\n2: 3=one 1=1\n0:");
        EXPECT_EQ(db_recv_dbi(channel.reader(), nullptr), -1);
        db_close(db);
    }
}

TEST(RecordBlocks, CutRecordKeepsTheParametersReadSoFar) {
    StreamEncoder s;
    s.count(3).param("kept").length(10).raw("short", Kind::value);
    Channel channel;
    write_all(channel.writer(), s.bytes());
    channel.close_writer();
    DataBase *db = db_create(str("cut"), str(""), 0);
    const std::string out = stdout_of([&] { EXPECT_EQ(db_recv_dbi(channel.reader(), db), -1); });
    EXPECT_EQ(out, "[db_recv_dbi] ERROR: Did not recieve entire PARM\n");
    EXPECT_EQ(digest(db), "cut||0|0\n1: 4=kept");
}

#ifdef ZNDB_STANDALONE
// ---- the standalone build's waiting ----

TEST(Blocking, NonBlockingDescriptorsAreWaitedFor) {
    DataBase *db = db_create(str("nb"), str(""), 0);
    for (int i = 0; i < 30000; ++i)
        add_record(db, {"value number", std::to_string(i)});
    const std::string sent = digest(db);
    Channel channel;
    fcntl(channel.writer(), F_SETFL, O_NONBLOCK);
    fcntl(channel.reader(), F_SETFL, O_NONBLOCK);
    int send_result = -2;
    std::thread sender([&] {
        send_result = db_send(channel.writer(), db);
        channel.close_writer();
    });
    const int recv_result = db_recv(channel.reader());
    sender.join();
    EXPECT_EQ(send_result, 0);
    EXPECT_EQ(recv_result, 0);
    EXPECT_EQ(digest(_db_list_end->db), sent);
}

std::atomic<int> alarms;
void count_alarm(int) { ++alarms; }

TEST(Blocking, InterruptedCallsCarryOn) {
    const auto child = run_in_child([] {
        struct sigaction sa {};
        sa.sa_handler = count_alarm; // no SA_RESTART: blocked calls fail with EINTR
        sigaction(SIGALRM, &sa, nullptr);
        sigset_t alarm_only;
        sigemptyset(&alarm_only);
        sigaddset(&alarm_only, SIGALRM);
        DataBase *db = db_create(str("intr"), str(""), 0);
        for (int i = 0; i < 3000; ++i)
            add_record(db, {"interrupted", std::to_string(i)});
        const std::string sent = digest(db);
        Channel channel;
        // The peer thread paces the stream and never takes the signal.
        pthread_sigmask(SIG_BLOCK, &alarm_only, nullptr);
        std::thread peer([&] {
            Channel relay;
            std::thread send([&] {
                REQUIRE(db_send(relay.writer(), db) == 0);
                relay.close_writer();
            });
            char buf[512];
            ssize_t n;
            while ((n = read(relay.reader(), buf, sizeof buf)) > 0) {
                write_all(channel.writer(), std::string(buf, static_cast<size_t>(n)));
                usleep(300);
            }
            send.join();
            channel.close_writer();
        });
        pthread_sigmask(SIG_UNBLOCK, &alarm_only, nullptr);
        const itimerval every_ms{{0, 1000}, {0, 1000}};
        setitimer(ITIMER_REAL, &every_ms, nullptr);
        const int result = db_recv(channel.reader());
        const itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        peer.join();
        REQUIRE(result == 0);
        REQUIRE(digest(_db_list_end->db) == sent);
        report(alarms > 0 ? "interrupted" : "never interrupted");
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "interrupted");
}
#endif

} // namespace
