// blocking_transfer.cpp -- db_send and db_recv of the standalone build: the whole stream within one call.
#include <cstdint>

#include "internal.h"
#include "stream.h"

using namespace zndb;

namespace {

// Bytes staged per write, and the initial read buffer.
constexpr size_t batch = 256 * 1024;

bool in_record(Field field) {
    return field == Field::count || field == Field::length || field == Field::value;
}

} // namespace

int db_send(int fd, DataBase *db) {
    if (!db)
        return 0;
    StreamWriter out(fd, db, batch);
    if (out.pump(Pace::wait, SIZE_MAX) == Progress::done)
        return 0;
    out.report_failure("db_send");
    if (in_record(out.failed_field()))
        say_now("[db_send] Error: Could not send DBI\n");
    return -1;
}

int db_recv(int fd) {
    DataBase *db = make_database("db_recv", nullptr);
    if (!db)
        return -1;
    StreamReader in(fd, db, true, batch);
    if (in.pump(StreamReader::Goal::end, Pace::wait, SIZE_MAX) != Progress::done) {
        if (in.failed_in_records())
            say_now("[db_recv] Error: Could not receive DBI\n");
        free_database(db);
        return -1;
    }
    if (!register_database("db_recv", db, 4)) {
        free_database(db);
        return -1;
    }
    db_start(db);
    return 0;
}
