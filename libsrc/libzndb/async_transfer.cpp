// async_transfer.cpp -- db_send and db_recv through the scheduler: the transfer state, descriptor events, the time-out check.
//
// A transfer owns its descriptor from start to end: the application's
// registration is set aside and put back, the descriptor is non-blocking
// (its status flags are put back too), and every event moves what the
// descriptor takes or offers, up to event_budget bytes, so that other
// descriptors and tasks are served between events. A peer that stops is
// left to the check task's time-out.
#include <fcntl.h>

#include <cstdint>
#include <ctime>
#include <new>
#include <type_traits>

#include "internal.h"
#include "stream.h"

using namespace zndb;

namespace {

char sending_name[] = "Sending DB";
char receiving_name[] = "Receiving DB";
char check_name[] = "CHECK TRANSACTION";
char callback_name[] = "DB Callback";
char callback_error_name[] = "DB Callback - ERROR";

constexpr size_t event_budget = 64 * 1024;

// A running transfer. The public state comes first: the scheduler hands it
// to the handlers, and it leads back to the whole.
struct Transfer {
    dBTransState state;
    StreamWriter *writer; // a sending transfer
    StreamReader *reader; // a receiving transfer
    bool owns_db;         // the received database is not in the catalogue yet
    bool has_saved;       // state.fd_save holds a registration to put back
    int file_flags;       // the descriptor's status flags before, or -1
};
static_assert(std::is_standard_layout_v<Transfer>);

Transfer *transfer_of(void *arg) {
    return reinterpret_cast<Transfer *>(static_cast<dBTransState *>(arg));
}

ulong_t now() { return static_cast<ulong_t>(time(nullptr)); }

enum class Ending { complete, failed, timed_out };

void db_check_transaction(void *arg);

Transfer *new_transfer(int fd, void (*callback)(void *), void *arg) {
    auto *t = new (std::nothrow) Transfer{};
    if (t) {
        t->state.fd = fd;
        t->state.callback = callback;
        t->state.arg = arg;
        t->state.last = now();
        t->file_flags = -1;
    }
    return t;
}

void destroy(Transfer *t) {
    if (!t)
        return;
    delete t->writer;
    delete t->reader;
    if (t->owns_db)
        free_database(t->state.db);
    delete t;
}

void go_non_blocking(Transfer *t) {
    t->file_flags = fcntl(t->state.fd, F_GETFL);
    if (t->file_flags >= 0 && !(t->file_flags & O_NONBLOCK))
        fcntl(t->state.fd, F_SETFL, t->file_flags | O_NONBLOCK);
}

void restore_flags(Transfer *t) {
    if (t->file_flags >= 0 && !(t->file_flags & O_NONBLOCK))
        fcntl(t->state.fd, F_SETFL, t->file_flags);
}

// Sets the descriptor's registration aside and registers the transfer's own,
// with its check task. The scheduler's results are not examined: a
// registration that did not take place gets no events and ends by time-out.
void take_descriptor(Transfer *t, ulong_t flags, char *name) {
    t->has_saved = sched_fd_save(t->state.fd, &t->state.fd_save) == 0;
    sched_add_fd(t->state.fd, db_fd_event, &t->state, flags, name);
    sched_task(db_check_transaction, &t->state, 0, 1, check_name);
}

// Gives the descriptor its earlier registration (or none) and status flags
// back, schedules the callback of a complete or timed-out transfer, and
// releases the transfer with a database that did not enter the catalogue.
void end_transfer(Transfer *t, Ending how) {
    const int fd = t->state.fd;
    sched_remove_fd(fd);
    if (t->has_saved)
        sched_fd_restore(fd, &t->state.fd_save);
    if (how != Ending::timed_out) // a timed-out check task is the one running
        sched_remove_task(db_check_transaction, &t->state, nullptr,
                          SCHED_MATCH_FUNC | SCHED_MATCH_ARG);
    if (t->state.callback && how != Ending::failed)
        sched_task(t->state.callback, t->state.arg, SCHED_IMMEDIATE, 0,
                   how == Ending::complete ? callback_name : callback_error_name);
    restore_flags(t);
    destroy(t);
}

void send_more(Transfer *t) {
    const Progress progress = t->writer->pump(Pace::return_now, event_budget);
    t->state.dbi = const_cast<DataBaseInfo *>(t->writer->next_record());
    if (progress == Progress::later)
        return;
    if (progress == Progress::done) {
        end_transfer(t, Ending::complete);
        return;
    }
    t->writer->report_failure("db_fd_event");
    // Every record is out when only the end word failed: reported, and the
    // transfer still counts as complete.
    end_transfer(t, t->writer->failed_field() == Field::end ? Ending::complete : Ending::failed);
}

void receive_more(Transfer *t) {
    switch (t->reader->pump(StreamReader::Goal::end, Pace::return_now, event_budget)) {
    case Progress::later:
        return;
    case Progress::failed:
        end_transfer(t, Ending::failed);
        return;
    case Progress::done:
        break;
    }
    // Every record came in, so the transfer is complete even when the
    // database cannot enter the catalogue; it is released then.
    if (register_database("db_fd_event", t->state.db)) {
        t->owns_db = false;
        db_start(t->state.db);
    }
    end_transfer(t, Ending::complete);
}

// Runs a second after the transfer started and then every second: ends it
// when its descriptor has had no event for more than a second (an unsigned
// difference, so a clock set back ends it too).
void db_check_transaction(void *arg) {
    Transfer *t = transfer_of(arg);
    if (now() - t->state.last <= 1) {
        sched_reschedule(1);
        return;
    }
    say_now("[db_check_transaction] Time Out! Aborting\n");
    end_transfer(t, Ending::timed_out);
}

} // namespace

int db_send(int fd, DataBase *db, void (*callback)(void *), void *arg) {
    if (!db)
        return 0;
    Transfer *t = new_transfer(fd, callback, arg);
    if (t)
        t->writer = new (std::nothrow) StreamWriter(fd, db, event_budget);
    if (!t || !t->writer) {
        say_now("[db_send] Error: Could not allocate memory\n");
        destroy(t);
        return -1;
    }
    t->state.db = db;
    t->state.dbi = db->dbinfo;
    go_non_blocking(t);
    take_descriptor(t, SCHED_FD_WRITE | SCHED_FD_EXCEPT, sending_name);
    if (t->writer->pump(Pace::return_now, 1) == Progress::failed) {
        t->writer->report_failure("db_send");
        end_transfer(t, Ending::failed);
        return -1;
    }
    return 0;
}

int db_recv(int fd, void (*callback)(void *), void *arg) {
    DataBase *db = make_database("db_recv", nullptr);
    if (!db)
        return -1;
    Transfer *t = new_transfer(fd, callback, arg);
    if (t)
        t->reader = new (std::nothrow) StreamReader(fd, db, true, event_budget);
    if (!t || !t->reader) {
        say_now("[db_recv] Error: (3) Could not allocate memory\n");
        free_database(db);
        destroy(t);
        return -1;
    }
    t->state.db = db;
    t->owns_db = true;
    go_non_blocking(t);
    if (t->reader->pump(StreamReader::Goal::header, Pace::return_now, SIZE_MAX) == Progress::failed) {
        restore_flags(t);
        destroy(t);
        return -1;
    }
    take_descriptor(t, SCHED_FD_READ | SCHED_FD_EXCEPT, receiving_name);
    return 0;
}

void db_fd_event(int, void *arg, int r, int w, int) {
    if (!arg)
        return;
    Transfer *t = transfer_of(arg);
    t->state.last = now();
    if (w && t->writer)
        send_more(t);
    else if (r && t->reader)
        receive_more(t);
}
