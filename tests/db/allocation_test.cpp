// Allocation failures while a database is received: each reported at once, flushed, and nothing left behind.
//
// This program puts its own malloc in front of the C library's (the
// libraries' allocations come through it too), so that a chosen allocation
// can be refused.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstdlib>
#include <string>

#include "child.h"
#include "stream_support.h"

extern "C" void *__libc_malloc(size_t size);

namespace {

bool refuse_next = false;  // refuse the very next allocation
size_t refused_size = 0;   // or the next one of this size (0: none)

} // namespace

// Visible to the libraries although this project hides symbols by default.
extern "C" __attribute__((visibility("default"))) void *malloc(size_t size) {
    if (refuse_next || (refused_size != 0 && size == refused_size)) {
        refuse_next = false;
        refused_size = 0;
        return nullptr;
    }
    return __libc_malloc(size);
}

using namespace dbtest;
using zntest::report;
using zntest::run_in_child;

namespace {

// Runs body in a child whose standard output is a fully buffered pipe. The
// report holds what reached the pipe by the time body returned (a message
// printed without a flush would still be in the buffer), and then "empty
// catalogue" when no database entered it. The scheduler of the linked
// build is set up first, so that the allocation refused is the receiver's.
std::string printed_at_once(const std::function<void()> &body) {
    const auto child = run_in_child([&] {
#ifndef ZNDB_STANDALONE
        ensure_scheduler();
#endif
        int out[2];
        REQUIRE(pipe(out) == 0);
        REQUIRE(fcntl(out[0], F_SETFL, O_NONBLOCK) == 0);
        fflush(stdout);
        REQUIRE(dup2(out[1], STDOUT_FILENO) >= 0);
        setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
        body();
        report(read_all(out[0]));
        report(_db_list ? "" : "empty catalogue");
    });
    return child.returned() ? child.output : "child failed: " + child.errors;
}

// What the tests receive through, one per (child) process.
Channel &channel() {
    static Channel the_channel;
    return the_channel;
}

// db_recv of the linked build on a descriptor that holds bytes.
int recv_bytes(const std::string &bytes) {
    write_all(channel().writer(), bytes);
#ifdef ZNDB_STANDALONE
    return db_recv(channel().reader());
#else
    return db_recv(channel().reader(), nullptr, nullptr);
#endif
}

const std::string empty_stream = StreamEncoder().header("empty", "nothing", 1, 0).end().bytes();

TEST(ReceiveAllocation, DatabaseAndHeader) {
    EXPECT_EQ(printed_at_once([] {
                  refuse_next = true;
                  REQUIRE(recv_bytes(empty_stream) == -1);
              }),
              "[db_recv] Error: (1) Memory Allocation failed!\nempty catalogue");
    EXPECT_EQ(printed_at_once([] {
                  refused_size = sizeof(DataBaseName);
                  REQUIRE(recv_bytes(empty_stream) == -1);
              }),
              "[db_recv] Error: (2) Memory Allocation failed!\nempty catalogue");
}

#ifdef ZNDB_STANDALONE
TEST(ReceiveAllocation, CatalogueEntry) {
    EXPECT_EQ(printed_at_once([] {
                  refused_size = sizeof(DataBaseList);
                  REQUIRE(recv_bytes(empty_stream) == -1);
              }),
              "[db_recv] Error: (4) Memory Allocation failed!\nempty catalogue");
}
#else
// The entry of a database whose stream came through the scheduler: the
// database stays out, and the transfer still completes.
TEST(ReceiveAllocation, CatalogueEntryAtTheEndWord) {
    const std::string stream = StreamEncoder().header("one", "a record", 1, 1).record({}).end().bytes();
    EXPECT_EQ(printed_at_once([&] {
                  write_all(channel().writer(), stream);
                  std::string callback;
                  REQUIRE(db_recv(channel().reader(), note_callback, &callback) == 0);
                  refused_size = sizeof(DataBaseList);
                  run_transfers({channel().reader()});
                  REQUIRE(refused_size == 0);
                  REQUIRE(callback == "DB Callback");
              }),
              "[db_fd_event] Error: (3) Memory Allocation failed!\nempty catalogue");
}
#endif

} // namespace
