// stream_reader.cpp -- the receiving side of the transfer stream: reading no further than the stream goes.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal.h"
#include "record_block.h"
#include "stream.h"

namespace zndb {

// The buffered bytes as record_block's source. Before the stream is cut, a
// length word is taken only together with its whole value, so a parameter
// is either appended or left in the buffer for a later call; once it is cut,
// the length is taken alone and the missing value ends the block.
struct StreamReader::Source {
    StreamReader &in;
    bool cut;
    bool refused = false; // a length beyond max_received_length

    bool length(int32_t &n) {
        if (!in.have(4))
            return false;
        uint32_t word;
        memcpy(&word, in.buffer_ + in.begin_, sizeof word);
        const auto len = static_cast<int32_t>(wire_word(static_cast<int32_t>(word), in.swap_));
        if (len > max_received_length) {
            refused = true;
            return false;
        }
        if (len > 0 && !cut && !in.have(4 + static_cast<size_t>(len)))
            return false;
        in.begin_ += 4;
        n = len;
        return true;
    }

    const char *value(int32_t n) {
        if (!in.have(static_cast<size_t>(n)))
            return nullptr;
        const char *bytes = in.buffer_ + in.begin_;
        in.begin_ += static_cast<size_t>(n);
        return bytes;
    }
};

namespace {

// Bytes parsed between two takes from a socket.
constexpr size_t parse_slice = 32 * 1024;

// A field of 80 bytes taken as text: terminated at byte 79 when it is full.
void terminate(char (&field)[stream_name_size]) {
    if (!memchr(field, '\0', sizeof field))
        field[sizeof field - 1] = '\0';
}

Progress failure(const char *message) {
    say_now("%s", message);
    return Progress::failed;
}

} // namespace

StreamReader::StreamReader(int fd, DataBase *db, bool from_start, size_t buffer)
    : fd_(fd), db_(db), swap_(_db_byte_swap == 1), peekable_(is_stream_socket(fd)),
      phase_(from_start ? Phase::start : Phase::count), initial_(buffer) {}

StreamReader::~StreamReader() { free(buffer_); }

bool StreamReader::have(size_t n) {
    if (end_ - begin_ >= n)
        return true;
    want_ = n;
    return false;
}

uint32_t StreamReader::take_word() {
    uint32_t word;
    memcpy(&word, buffer_ + begin_, sizeof word);
    begin_ += sizeof word;
    return wire_word(static_cast<int32_t>(word), swap_);
}

// The diagnostic of a value or length that cannot be held, printed whatever
// the verbose setting.
Progress StreamReader::out_of_memory() {
    printf("[db_recv_db] ERROR: Unable to allocate memory\n");
    return Progress::failed;
}

// Parses what is buffered towards the goal. With `cut` no more bytes will
// come, and an incomplete field fails with its diagnostic. Once the parse
// has passed buffer offset pause_at it pauses at the next record (later,
// with paused_ set), so that the bytes parsed so far can be taken.
Progress StreamReader::parse(Goal goal, bool cut, size_t pause_at) {
    paused_ = false;
    for (;;) {
        switch (phase_) {
        case Phase::start:
            if (!have(4))
                return cut ? failure("[db_recv] Error: Did not receive DB Start\n") : Progress::later;
            if (take_word() != stream_start)
                return failure("[db_recv] Error: Received invalid DB Start magic\n");
            phase_ = Phase::name;
            break;
        case Phase::name:
            if (!have(stream_name_size))
                return cut ? failure("[db_recv] Error: Did not receive DB Name\n") : Progress::later;
            memcpy(db_->table_name, buffer_ + begin_, stream_name_size);
            begin_ += stream_name_size;
            terminate(db_->table_name);
            phase_ = Phase::header;
            break;
        case Phase::header: {
            DataBaseName *header = db_->dbname;
            if (!have(sizeof *header))
                return cut ? failure("[db_recv] Error: Did not receive full DBN\n") : Progress::later;
            memcpy(header, buffer_ + begin_, sizeof *header);
            begin_ += sizeof *header;
            terminate(header->name);
            header->version = static_cast<int32_t>(wire_word(header->version, swap_));
            header->records = static_cast<int32_t>(wire_word(header->records, swap_));
            phase_ = Phase::count;
            if (goal == Goal::header)
                return Progress::done;
            break;
        }
        case Phase::count: {
            if (begin_ >= pause_at) {
                paused_ = true;
                return Progress::later;
            }
            if (!have(4)) {
                if (cut && error_ == 0)
                    say_now("[db_recv_dbi] ERROR: Received invalid len on NUM PARMS\n");
                return cut ? Progress::failed : Progress::later;
            }
            const uint32_t word = take_word();
            if (word == stream_end) {
                phase_ = Phase::ended;
                return Progress::done;
            }
            dbi_ = append_received_record(db_);
            if (!dbi_)
                return Progress::failed;
            left_ = std::max(static_cast<int32_t>(word), 0);
            phase_ = Phase::params;
            break;
        }
        case Phase::params: {
            Source source{*this, cut};
            const BlockStatus status = read_record_params(source, dbi_, left_);
            if (status == BlockStatus::complete) {
                phase_ = Phase::count;
                if (goal == Goal::record)
                    return Progress::done;
                break;
            }
            if (source.refused || status == BlockStatus::no_memory)
                return out_of_memory();
            if (!cut)
                return Progress::later;
            if (status == BlockStatus::no_length)
                return failure("[db_recv_dbi] ERROR: Received invalid PARM LEN\n");
            if (error_ != 0) {
                say_now("[db_recv_db] ERROR reading PARAM: %d:%s\n", -1, strerror(error_));
                return Progress::failed;
            }
            return failure("[db_recv_dbi] ERROR: Did not recieve entire PARM\n");
        }
        case Phase::ended:
            return Progress::done;
        }
    }
}

// The number of bytes from begin_ that certainly belong to the stream before
// the goal is reached: the rest of the header, the rest of the record (this
// parameter and a length word for each one after it), and when the goal is
// the end word, the word that follows them (a count or the end word).
size_t StreamReader::known(Goal goal) const {
    uint64_t rest = 4;
    switch (phase_) {
    case Phase::start:
        rest = stream_header_size;
        break;
    case Phase::name:
        rest = stream_header_size - 4;
        break;
    case Phase::header:
        rest = sizeof(DataBaseName);
        break;
    case Phase::params:
        rest = want_ + 4 * static_cast<uint64_t>(left_ - 1);
        break;
    case Phase::count:
    case Phase::ended:
        return 4;
    }
    if (goal == Goal::end)
        rest += 4;
    return static_cast<size_t>(std::min<uint64_t>(rest, SIZE_MAX));
}

// Brings more bytes into the buffer, growing it only once it is full of an
// incomplete field. A socket is peeked at (take() takes the bytes later);
// other descriptors are read no further than known().
StreamReader::Fill StreamReader::fill(Goal goal, size_t &got) {
    if (begin_ > 0) {
        memmove(buffer_, buffer_ + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    taken_ = end_;
    if (end_ == capacity_ &&
        !resize_buffer(buffer_, capacity_,
                       capacity_ ? std::min(2 * capacity_, want_) : std::max(initial_, want_)))
        return Fill::no_memory;
    size_t room = capacity_ - end_;
    if (!peekable_)
        room = std::min(room, known(goal) - end_);
    for (;;) {
        const ssize_t n = peekable_ ? recv(fd_, buffer_ + end_, room, MSG_PEEK)
                                    : read(fd_, buffer_ + end_, room);
        if (n > 0) {
            end_ += static_cast<size_t>(n);
            if (!peekable_)
                taken_ = end_;
            got = static_cast<size_t>(n);
            return Fill::got;
        }
        if (n == 0)
            return Fill::ended;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return Fill::nothing_now;
        error_ = errno;
        return Fill::ended;
    }
}

// Takes from a socket the peeked bytes that the parse is done with: up to
// where it stopped or paused, or all of them when it needs more (they
// belong to a field still incomplete). Bytes peeked beyond a stop stay in
// the socket for their owner. Taking bytes as soon as they are parsed lets
// the sender refill the socket while the rest is parsed.
void StreamReader::take(Progress outcome) {
    const size_t upto = outcome == Progress::later && !paused_ ? end_ : std::max(begin_, taken_);
    if (outcome != Progress::later)
        end_ = upto;
    // TCP discards with MSG_TRUNC; other sockets copy the same bytes again.
    while (taken_ < upto) {
        const ssize_t n = recv(fd_, buffer_ + taken_, upto - taken_, MSG_TRUNC);
        if (n > 0)
            taken_ += static_cast<size_t>(n);
        else if (n == 0 || errno != EINTR)
            break;
    }
}

Progress StreamReader::pump(Goal goal, Pace pace, size_t budget) {
    size_t moved = 0;
    for (;;) {
        const Progress outcome = parse(goal, false, begin_ + parse_slice);
        take(outcome);
        if (outcome != Progress::later || (!paused_ && moved >= budget))
            return outcome;
        if (paused_)
            continue;
        size_t got = 0;
        switch (fill(goal, got)) {
        case Fill::got:
            moved += got;
            continue;
        case Fill::nothing_now:
            if (pace == Pace::return_now)
                return Progress::later;
            if (wait_for(fd_, POLLIN))
                continue;
            error_ = errno;
            break;
        case Fill::ended:
            break;
        case Fill::no_memory:
            return out_of_memory();
        }
        return parse(goal, true, SIZE_MAX);
    }
}

} // namespace zndb
