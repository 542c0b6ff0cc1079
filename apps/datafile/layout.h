// layout.h -- the structure of a data file checked byte by byte: header, record blocks, first problem.
//
// The database library reads data files leniently (a short header reads as
// zeros, a header count of 0 skips whatever follows). The tools that guard
// data, zndb verify and zndemo's start-up check, need to know exactly where
// a file stops being what a sound writer produces, in either byte order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zn_datafile {

inline constexpr uint64_t header_size = 88; // description, version, record count

// Where a file stops making sense, and why.
struct Problem {
    uint64_t offset;  // byte offset of the first field that is wrong or cut short
    std::string what; // one sentence without a final full stop
};

struct Layout {
    uint64_t size = 0;
    std::string description; // up to its terminator (at most 79 characters)
    int32_t version = 0;     // header fields; zero where the header is cut short
    int32_t records = 0;
    uint64_t blocks = 0;     // complete record blocks present
    std::optional<Problem> problem; // the first problem; none for a sound file
};

// Checks bytes as a data file whose integers are in host order, or
// byte-reversed when swapped. A sound file has the whole header, a record
// count that is not negative, complete record blocks without negative
// counts or lengths up to the end of the file, and exactly as many blocks
// as the header announces.
Layout scan_layout(std::string_view bytes, bool swapped);

// The whole content of the regular file at path (symbolic links followed).
// False with the reason in error: the C library's text, or "not a regular
// file" for a FIFO, device or directory, which is refused without waiting
// for a writer and without reading a byte.
bool read_whole_file(const std::string &path, std::string &bytes, std::string &error);

} // namespace zn_datafile
