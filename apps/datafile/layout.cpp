// layout.cpp -- the structure of a data file checked byte by byte.
#include "layout.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zn_datafile {

namespace {

constexpr uint64_t word_size = 4;
constexpr uint64_t description_size = 80;

// A cursor over the file's bytes that reads 32-bit words in the file's order.
class Cursor {
public:
    Cursor(std::string_view bytes, bool swapped) : bytes_(bytes), swapped_(swapped) {}

    uint64_t offset() const { return at_; }
    uint64_t left() const { return bytes_.size() - at_; }

    // The word at offset, or nothing when fewer than four bytes are left.
    std::optional<int32_t> word() {
        if (left() < word_size)
            return std::nullopt;
        uint32_t value;
        memcpy(&value, bytes_.data() + at_, word_size);
        at_ += word_size;
        return static_cast<int32_t>(swapped_ ? __builtin_bswap32(value) : value);
    }

    bool skip(uint64_t n) {
        if (left() < n)
            return false;
        at_ += n;
        return true;
    }

private:
    std::string_view bytes_;
    bool swapped_;
    uint64_t at_ = 0;
};

std::string record_label(uint64_t record) { return "record " + std::to_string(record); }

std::string param_label(uint64_t record, int32_t param) {
    return record_label(record) + ", parameter " + std::to_string(param);
}

std::string cut_short(const std::string &field, uint64_t needed, uint64_t present) {
    return field + " is cut short: " + std::to_string(needed) + " bytes needed, " +
           std::to_string(present) + " present";
}

// One parameter (length word and value) of record; its problem, if any.
std::optional<Problem> scan_param(Cursor &in, uint64_t record, int32_t param) {
    const uint64_t at = in.offset();
    const std::optional<int32_t> length = in.word();
    if (!length)
        return Problem{at, cut_short("the length of " + param_label(record, param), word_size, in.left())};
    if (*length < 0)
        return Problem{at, param_label(record, param) + " has the negative length " + std::to_string(*length)};
    const uint64_t value_at = in.offset();
    if (!in.skip(static_cast<uint64_t>(*length)))
        return Problem{value_at, cut_short("the value of " + param_label(record, param),
                                           static_cast<uint64_t>(*length), in.left())};
    return std::nullopt;
}

// One record block; its problem, if any.
std::optional<Problem> scan_block(Cursor &in, uint64_t record) {
    const uint64_t at = in.offset();
    const std::optional<int32_t> count = in.word();
    if (!count)
        return Problem{at, cut_short("the parameter count of " + record_label(record), word_size, in.left())};
    if (*count < 0)
        return Problem{at, record_label(record) + " has the negative parameter count " + std::to_string(*count)};
    for (int32_t param = 1; param <= *count; ++param)
        if (std::optional<Problem> problem = scan_param(in, record, param))
            return problem;
    return std::nullopt;
}

void read_header(std::string_view bytes, bool swapped, Layout &layout) {
    const size_t name_len = strnlen(bytes.data(), description_size - 1);
    layout.description.assign(bytes.data(), name_len);
    Cursor in(bytes.substr(description_size), swapped);
    layout.version = *in.word();
    layout.records = *in.word();
}

// The count check once every block is complete.
std::optional<Problem> count_problem(const Layout &layout, uint64_t surplus_at) {
    const auto announced = static_cast<uint64_t>(layout.records);
    const std::string says = "the header announces " + std::to_string(announced) + " records";
    if (layout.blocks < announced)
        return Problem{layout.size, says + ", the file holds " + std::to_string(layout.blocks) + " record blocks"};
    if (layout.blocks > announced)
        return Problem{surplus_at, says + ", but " + std::to_string(layout.blocks) +
                                       " record blocks follow; the ones after record " +
                                       std::to_string(announced) + " are not read"};
    return std::nullopt;
}

} // namespace

Layout scan_layout(std::string_view bytes, bool swapped) {
    Layout layout;
    layout.size = bytes.size();
    if (layout.size < header_size) {
        layout.problem = Problem{layout.size, cut_short("the header", header_size, layout.size)};
        return layout;
    }
    read_header(bytes, swapped, layout);
    if (layout.records < 0) {
        layout.problem = Problem{header_size - word_size,
                                 "the header has the negative record count " + std::to_string(layout.records)};
        return layout;
    }
    Cursor in(bytes, swapped);
    in.skip(header_size);
    uint64_t surplus_at = layout.size;
    while (in.left() > 0) {
        if (layout.blocks == static_cast<uint64_t>(layout.records))
            surplus_at = in.offset(); // where blocks beyond the announced ones begin
        layout.problem = scan_block(in, layout.blocks + 1);
        if (layout.problem)
            return layout;
        ++layout.blocks;
    }
    layout.problem = count_problem(layout, surplus_at);
    return layout;
}

bool read_whole_file(const std::string &path, std::string &bytes, std::string &error) {
    // O_NONBLOCK: a FIFO opens at once (to be refused) instead of waiting for
    // a writer; a regular file reads as it would without it.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = strerror(errno);
        return false;
    }
    struct stat st;
    bool complete = fstat(fd, &st) == 0;
    if (complete && !S_ISREG(st.st_mode)) {
        complete = false;
        error = "not a regular file";
    } else if (!complete) {
        error = strerror(errno);
    }
    bytes.clear();
    char buf[65536];
    while (complete) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            bytes.append(buf, static_cast<size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            error = strerror(errno);
            complete = false;
        }
    }
    close(fd);
    return complete;
}

} // namespace zn_datafile
