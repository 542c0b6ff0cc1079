// stream_peer.cpp -- the far end of the cross-build tests: sends or receives one stream with the build it is linked with.
//
// Usage: stream_peer send FD SWAP   sends cross_database() followed by
//                                   "TAIL", then closes FD
//        stream_peer recv FD SWAP   receives a database and prints its digest,
//                                   "--" and what followed the stream
// The exit status is 0 when the transfer completed.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "stream_support.h"

using namespace dbtest;

int main(int argc, char **argv) {
    if (argc != 4)
        return 2;
    const int fd = atoi(argv[2]);
    db_set_byte_swap(atoi(argv[3]));
    if (strcmp(argv[1], "send") == 0) {
        DataBase *db = cross_database();
        const Outcome o = send_on(fd, db);
        write_all(fd, "TAIL");
        close(fd);
        return o.complete ? 0 : 1;
    }
    if (strcmp(argv[1], "recv") == 0) {
        const Outcome o = recv_on(fd);
        const std::string rest = read_all(fd);
        printf("%s\n--\n%s", digest(_db_list_end ? _db_list_end->db : nullptr).c_str(), rest.c_str());
        if (!o.complete)
            fprintf(stderr, "receive failed: %s\n", o.output.c_str());
        return o.complete ? 0 : 1;
    }
    return 2;
}
