// backends.h -- cases that run once under each scheduler back end.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "child.h"
#include "znsched.h"

namespace zntest {

// The back ends as test parameters, named "select" and "epoll".
inline auto each_backend() { return testing::Values(SCHED_BACKEND_SELECT, SCHED_BACKEND_EPOLL); }

inline std::string backend_name(const testing::TestParamInfo<int> &info) {
    return info.param == SCHED_BACKEND_EPOLL ? "epoll" : "select";
}

// A fresh scheduler on the given back end.
inline void init_on(int backend) {
    REQUIRE(sched_set_backend(backend) == 0);
    sched_init();
}

} // namespace zntest
