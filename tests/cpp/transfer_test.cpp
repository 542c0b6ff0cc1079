// zn/db.hpp: sending and receiving whole databases, through the loop (integrated
// build, in forked children) or within one call (standalone build).
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>

#include "child.h"
#include "fruit.h"
#include "zn/db.hpp"
#ifndef ZNDB_STANDALONE
#include "zn/sched.hpp"
#endif

using zntest::fruit;
using zntest::names;
using zntest::report;

namespace {

// Both ends of a new stream socketpair.
void make_pair(int sv[2]) { REQUIRE(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0); }

#ifndef ZNDB_STANDALONE

using zntest::run_in_child;

TEST(CppTransfer, SendAndReceiveThroughTheLoop) {
    auto child = run_in_child([] {
        sched_init();
        zn::database source = fruit();
        int sv[2];
        make_pair(sv);
        // The receiving descriptor's own registration is set aside meanwhile.
        zn::watch mine(sv[1], "mine", zn::interest::read, [](int, zn::ready) {});
        DataBase *received = nullptr;
        bool sent = false;
        int calls = 0;
        REQUIRE(zn::database::receive(sv[1], [&](DataBase *db) {
            received = db;
            if (++calls == 2)
                zn::stop_loop();
        }));
        REQUIRE(source.send(sv[0], [&](bool complete) {
            sent = complete;
            if (++calls == 2)
                zn::stop_loop();
        }));
        REQUIRE(sched_find_fd(sv[1])->handler == db_fd_event && !mine.want(zn::interest::read));
        zn::loop();
        REQUIRE(sent && received && received != source.get() && mine.want(zn::interest::read));
        REQUIRE(_db_list_end->db == received);
        zn::database copy(received);
        report(std::string(copy.name()) + ": " + names(copy.records()) + "\n");
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "fruit: pear Apple banana apple \n");
}

TEST(CppTransfer, TimeOutsReachTheCallables) {
    auto child = run_in_child([] {
        sched_init();
        db_set_verbose(0);
        // More than the socket takes while its peer does not read.
        zn::database big = zn::database::create("big", "", 1);
        for (int i = 0; i < 4000; ++i)
            big.add().add(std::string(1000, 'x'));
        int silent[2], stuck[2];
        make_pair(silent);
        make_pair(stuck);
        std::string seen;
        auto both = [&seen] {
            if (seen.size() == 2)
                zn::stop_loop();
        };
        REQUIRE(zn::database::receive(silent[1], [&](DataBase *db) {
            seen += db ? "R" : "r";
            both();
        }));
        REQUIRE(big.send(stuck[0], [&](bool complete) {
            seen += complete ? "S" : "s";
            both();
        }));
        zn::loop();
        report(seen + "\n");
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_TRUE(child.output == "rs\n" || child.output == "sr\n") << child.output;
}

// A stream header announcing one record, and the start of that record.
std::string header_and_cut_record() {
    auto word = [](uint32_t v) {
        return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                           static_cast<char>(v >> 24)};
    };
    std::string table(80, '\0'), description(80, '\0');
    table.replace(0, 3, "cut");
    return word(0xCAFEBABE) + table + description + word(1) + word(1) + word(2) + word(5) + "ab";
}

TEST(CppTransfer, FailedTransfersRunNothingAndTheirCallablesAreReleased) {
    auto child = run_in_child([] {
        sched_init();
        db_set_verbose(0);
        auto state = std::make_shared<int>(0);
        int garbage[2], cut[2], next[2];
        make_pair(garbage);
        REQUIRE(write(garbage[0], "not a stream at all", 19) == 19);
        REQUIRE(!zn::database::receive(garbage[1], [state](DataBase *) {}));
        REQUIRE(state.use_count() == 1 && !zn::database().send(garbage[0], [state](bool) {}));
        REQUIRE(state.use_count() == 1);

        make_pair(cut);
        const std::string bytes = header_and_cut_record();
        REQUIRE(write(cut[0], bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
        close(cut[0]);
        REQUIRE(zn::database::receive(cut[1], [state](DataBase *) { report("called\n"); }));
        zn::task until_over = zn::every(0, "until over", [&cut] {
            if (!sched_find_fd(cut[1]))
                zn::stop_loop();
        });
        zn::loop();
        // Nobody is told of the failure; the next transfer releases the callable.
        REQUIRE(state.use_count() == 2 && db_find_dbase(const_cast<char *>("cut")) == nullptr);
        make_pair(next);
        REQUIRE(zn::database::receive(next[1], [](DataBase *) {}));
        REQUIRE(state.use_count() == 1);
    });
    EXPECT_TRUE(child.returned()) << child.errors;
    EXPECT_EQ(child.output, "");
}

#else

TEST(CppTransfer, SendAndReceiveWholeStreams) {
    zn::database source = fruit();
    int sv[2];
    make_pair(sv);
    ASSERT_TRUE(source.send(sv[0]));
    zn::database received(zn::database::receive(sv[1]));
    ASSERT_TRUE(received);
    EXPECT_NE(received.get(), source.get());
    EXPECT_EQ(received.name(), "fruit");
    EXPECT_EQ(names(received.records()), "pear Apple banana apple ");

    db_set_verbose(0);
    close(sv[0]);
    EXPECT_EQ(zn::database::receive(sv[1]), nullptr);
    EXPECT_FALSE(zn::database().send(sv[1]));
}

#endif

} // namespace
