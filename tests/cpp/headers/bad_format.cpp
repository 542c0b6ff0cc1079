// Formats that zn::print refuses when compiling (case chosen with -DBAD_FORMAT=n).
#include "zn/cli.hpp"

int print_badly() {
#if BAD_FORMAT == 1
    return zn::print("{:x}\n", 1); // options in a field
#elif BAD_FORMAT == 2
    return zn::print("{} {}\n", 1); // fewer arguments than fields
#elif BAD_FORMAT == 3
    return zn::print("}\n"); // lone closing brace
#else
    return zn::print("{}\n", 1); // accepted: shows that the others fail for their format
#endif
}
