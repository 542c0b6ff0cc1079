// byte_order.cpp -- reversing the bytes of the 32-bit words of files and streams.
#include <cstdint>

#include "zndb.h"

long db_byte_swap(long l) {
    const auto word = static_cast<uint32_t>(l);
    return static_cast<int32_t>(__builtin_bswap32(word));
}
