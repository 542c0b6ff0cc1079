// stream_writer.cpp -- the sending side of the transfer stream: whole units staged, then written out.
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "../common/io.h"
#include "internal.h"
#include "record_block.h"
#include "stream.h"

namespace zndb {

struct StreamWriter::StagingSink {
    StreamWriter &out;
    bool count(int32_t n) { return out.put_word(n); }
    bool length(int32_t n) { return out.put_word(n); }
    bool value(const char *bytes, size_t n) { return out.put(bytes, n); }
};

// Adds up the sizes of the staged fields and stops at the one that holds
// byte `target` of the batch.
struct StreamWriter::LocatingSink {
    size_t at, target;
    Field found = Field::end;

    bool step(size_t n, Field field) {
        if (at + n > target) {
            found = field;
            return false;
        }
        at += n;
        return true;
    }
    bool count(int32_t) { return step(4, Field::count); }
    bool length(int32_t) { return step(4, Field::length); }
    bool value(const char *, size_t n) { return step(n, Field::value); }
};

StreamWriter::StreamWriter(int fd, const DataBase *db, size_t batch)
    : fd_(fd), db_(db), swap_(_db_byte_swap == 1), single_(false), batch_(batch),
      next_{Unit::header, nullptr}, batch_first_(next_) {}

StreamWriter::StreamWriter(int fd, const DataBaseInfo *dbi)
    : fd_(fd), db_(nullptr), swap_(_db_byte_swap == 1), single_(true), batch_(0),
      next_{Unit::record, dbi}, batch_first_(next_) {}

StreamWriter::~StreamWriter() { free(buffer_); }

StreamWriter::Unit StreamWriter::after(const Unit &unit) const {
    const DataBaseInfo *following = nullptr;
    switch (unit.kind) {
    case Unit::header:
        following = db_->dbinfo;
        break;
    case Unit::record:
        if (single_)
            return {Unit::none, nullptr};
        following = unit.dbi->next;
        break;
    case Unit::end:
    case Unit::none:
        return {Unit::none, nullptr};
    }
    return following ? Unit{Unit::record, following} : Unit{Unit::end, nullptr};
}

bool StreamWriter::grow(size_t at_least) {
    return resize_buffer(buffer_, capacity_, std::max({at_least, capacity_ * 2, 2 * batch_, size_t{256}}));
}

bool StreamWriter::put(const void *bytes, size_t n) {
    if (n > capacity_ - used_ && !grow(used_ + n))
        return false;
    memcpy(buffer_ + used_, bytes, n);
    used_ += n;
    return true;
}

bool StreamWriter::put_word(int32_t value) {
    const uint32_t word = wire_word(value, swap_);
    return put(&word, sizeof word);
}

// The start word, the table name's 80 bytes as they are in memory, and the
// header with its two counters in stream order.
bool StreamWriter::stage_header() {
    DataBaseName header = *db_->dbname;
    header.version = static_cast<int32_t>(wire_word(header.version, swap_));
    header.records = static_cast<int32_t>(wire_word(header.records, swap_));
    return put_word(static_cast<int32_t>(stream_start)) && put(db_->table_name, stream_name_size) &&
           put(&header, sizeof header);
}

// Stages the header alone, or records (and the end word after the last) up
// to a batch. False when memory runs out, failing the unit's first field.
bool StreamWriter::stage() {
    if (batch_ && capacity_ > 2 * batch_) // a large record grew the buffer
        resize_buffer(buffer_, capacity_, 2 * batch_);
    used_ = sent_ = 0;
    batch_first_ = next_;
    while (next_.kind != Unit::none) {
        bool staged = true;
        switch (next_.kind) {
        case Unit::header:
            staged = stage_header();
            failed_ = Field::start;
            break;
        case Unit::record: {
            StagingSink sink{*this};
            staged = write_record_block(sink, next_.dbi) >= 0;
            failed_ = Field::count;
            break;
        }
        case Unit::end:
            staged = put_word(static_cast<int32_t>(stream_end));
            failed_ = Field::end;
            break;
        case Unit::none:
            break;
        }
        if (!staged)
            return false;
        const bool header = next_.kind == Unit::header;
        next_ = after(next_);
        if (header || used_ >= batch_)
            break;
    }
    return true;
}

Progress StreamWriter::pump(Pace pace, size_t budget) {
    size_t moved = 0;
    for (;;) {
        if (sent_ == used_) {
            if (next_.kind == Unit::none)
                return Progress::done;
            if (moved >= budget)
                return Progress::later;
            if (!stage())
                return Progress::failed;
        }
        const ssize_t n = zn::write_nosigpipe(fd_, buffer_ + sent_, used_ - sent_);
        if (n > 0) {
            sent_ += static_cast<size_t>(n);
            moved += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (pace == Pace::return_now)
                return Progress::later;
            if (wait_for(fd_, POLLOUT))
                continue;
        }
        failed_ = locate(sent_);
        return Progress::failed;
    }
}

// The field of the batch that holds byte `offset`: the units are walked
// again from the first of the batch (only after a failure).
Field StreamWriter::locate(size_t offset) const {
    LocatingSink walk{0, offset};
    for (Unit unit = batch_first_; unit.kind != Unit::none; unit = after(unit)) {
        switch (unit.kind) {
        case Unit::header:
            if (!walk.step(4, Field::start) || !walk.step(stream_name_size, Field::name) ||
                !walk.step(sizeof(DataBaseName), Field::header))
                return walk.found;
            break;
        case Unit::record:
            if (write_record_block(walk, unit.dbi) < 0)
                return walk.found;
            break;
        case Unit::end:
        case Unit::none:
            return Field::end;
        }
    }
    return Field::end;
}

void StreamWriter::report_failure(const char *end_who) const {
    switch (failed_) {
    case Field::start:
        say_now("[db_send] Error: Could not send DB Start\n");
        break;
    case Field::name:
        say_now("[db_send] Error: Could not send DB name\n");
        break;
    case Field::header:
        say_now("[db_send] Error: Could not send DB Name Struct\n");
        break;
    case Field::count:
        say_now("[db_send_dbi] Error writing to socket\n");
        break;
    case Field::length:
        say_now("[db_send_dbi] Error writing to socket (2)\n");
        break;
    case Field::value:
        say_now("[db_send_dbi] Error writing to socket (3)\n");
        break;
    case Field::end:
        say_now("[%s] Error writing END to socket\n", end_who);
        break;
    }
}

} // namespace zndb
