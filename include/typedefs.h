/*
 * typedefs.h -- short type names shared by the zn libraries.
 *
 * Conventions of every zn header:
 *   - The headers are plain C99 and compile unchanged as C++.
 *   - Every exported function and global carries ZN_EXPORT.
 *   - Records are plain structs linked into doubly linked lists whose heads,
 *     tails and counters are exported globals of the owning library.
 *   - The library that allocates a record releases it; callers hold pointers.
 *   - The scheduler and the console return 0 on success and a negated errno
 *     value on failure (-1 also means "not initialised"); the database returns
 *     pointers or null, and 1 or 0 for most operations.
 */
#ifndef ZN_TYPEDEFS_H
#define ZN_TYPEDEFS_H

#include <stdint.h>

#define ZN_EXPORT __attribute__((visibility("default")))

typedef unsigned long ulong_t;
typedef unsigned int uint_t;
typedef unsigned short ushort_t;
typedef unsigned char uchar_t;

/* 32-bit address types: physical, virtual and user-space addresses. */
typedef uint32_t paddr_t;
typedef uint32_t vaddr_t;
typedef uint32_t uaddr_t;

#endif /* ZN_TYPEDEFS_H */
