// record_io.cpp -- db_send_dbi and db_recv_dbi: one record block over a descriptor, in both builds.
#include <cstdint>

#include "internal.h"
#include "stream.h"

using namespace zndb;

namespace {

// The read buffer of one block: grows as a large value needs it.
constexpr size_t record_buffer = 4096;

} // namespace

int db_send_dbi(int fd, DataBaseInfo *dbi) {
    if (!dbi)
        return -1;
    StreamWriter out(fd, dbi);
    if (out.pump(Pace::wait, SIZE_MAX) == Progress::done)
        return 0;
    out.report_failure("db_send_dbi");
    return -1;
}

int db_recv_dbi(int fd, DataBase *db) {
    if (!db)
        return -1;
    StreamReader in(fd, db, false, record_buffer);
    if (in.pump(StreamReader::Goal::record, Pace::wait, SIZE_MAX) != Progress::done)
        return -1;
    return in.at_end() ? 0 : 1;
}
