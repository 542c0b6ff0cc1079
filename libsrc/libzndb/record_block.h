// record_block.h -- the record block, one record as data files and transfer streams carry it.
//
// A block is the parameter count, then for each parameter its length and,
// when the length is positive, that many value bytes. Every integer is a
// 32-bit word in host order, byte-reversed while _db_byte_swap is 1. The
// encoder and the decoder work through a sink or a source supplied by the
// file or stream code, which decides how bytes move and what a failure says.
#pragma once

#include <cstdint>

#include "zndb.h"

namespace zndb {

// A host value as the 32-bit word of a file or stream (byte-reversed when
// swap is set), and back.
inline uint32_t wire_word(int32_t value, bool swap) {
    const auto word = static_cast<uint32_t>(value);
    return swap ? __builtin_bswap32(word) : word;
}

inline uint32_t to_wire(int32_t value) { return wire_word(value, _db_byte_swap == 1); }

inline int32_t from_wire(uint32_t word) {
    return static_cast<int32_t>(_db_byte_swap == 1 ? __builtin_bswap32(word) : word);
}

// Writes dbi's block. Sink: bool count(int32_t), bool length(int32_t),
// bool value(const char *, size_t); false stops the block. Returns the
// number of parameters written, or -1 when the sink failed.
template <class Sink>
long write_record_block(Sink &sink, const DataBaseInfo *dbi) {
    if (!sink.count(dbi->num_params))
        return -1;
    long written = 0;
    for (const DataBaseParam *dbp = dbi->p_first; dbp; dbp = dbp->next, ++written) {
        if (!sink.length(dbp->p_len))
            return -1;
        if (dbp->p_len > 0 && !sink.value(dbp->p, static_cast<size_t>(dbp->p_len)))
            return -1;
    }
    return written;
}

enum class BlockStatus {
    complete,   // every announced parameter was appended
    no_length,  // a length word is missing
    no_value,   // value bytes are missing
    no_memory,  // a parameter could not be appended
};

// Reads the parameters of a block whose count was read already and appends
// them to dbi, counting `left` down as each one is appended, so that a
// source that runs dry for now can go on with the rest later; a count of 0
// or less announces none. Source: bool length(int32_t &), const char
// *value(int32_t length) giving the bytes or null when they are missing. A
// length of 0 or less makes a parameter without value that keeps the length
// read.
template <class Source>
BlockStatus read_record_params(Source &source, DataBaseInfo *dbi, int32_t &left) {
    for (; left > 0; --left) {
        int32_t length;
        if (!source.length(length))
            return BlockStatus::no_length;
        const char *bytes = nullptr;
        if (length > 0 && !(bytes = source.value(length)))
            return BlockStatus::no_value;
        if (!db_param_new(dbi, length, const_cast<char *>(bytes)))
            return BlockStatus::no_memory;
    }
    return BlockStatus::complete;
}

} // namespace zndb
