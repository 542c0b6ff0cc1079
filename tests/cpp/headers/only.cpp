// The three C++ interface headers and nothing else: the object must define no symbol.
#include "zn/cli.hpp"
#include "zn/db.hpp"
#include "zn/sched.hpp"
