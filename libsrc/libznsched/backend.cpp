// backend.cpp -- choosing the back end: sched_set_backend(), ZN_SCHED_BACKEND, and the instance in use.
#include <cstdlib>
#include <cstring>

#include "backend.h"

namespace {

std::unique_ptr<Backend> active;
Backend *volatile for_signals; // the same instance, for the signal handler
int chosen = SCHED_BACKEND_SELECT;
bool chosen_by_call = false; // sched_set_backend() wins over the environment

std::unique_ptr<Backend> make(int kind) {
    return kind == SCHED_BACKEND_EPOLL ? make_epoll_backend() : make_select_backend();
}

void install(std::unique_ptr<Backend> backend) {
    for_signals = backend.get();
    active = std::move(backend);
}

int kind_from_environment() {
    const char *value = getenv("ZN_SCHED_BACKEND");
    if (!value || !*value || strcmp(value, "select") == 0)
        return SCHED_BACKEND_SELECT;
    if (strcmp(value, "epoll") == 0)
        return SCHED_BACKEND_EPOLL;
    if (sched_debug_on())
        sched_debug("sched_init: WARN - Unknown ZN_SCHED_BACKEND \"%s\", using select\n", value);
    return SCHED_BACKEND_SELECT;
}

} // namespace

ZN_EVERY_PASS Backend &sched_backend() {
    if (!active)
        install(make_select_backend());
    return *active;
}

void sched_backend_wake() {
    if (Backend *backend = for_signals)
        backend->wake();
}

void sched_backend_init() {
    if (!chosen_by_call)
        chosen = kind_from_environment();
    std::unique_ptr<Backend> backend = make(chosen);
    if (!backend) {
        if (sched_debug_on())
            sched_debug("sched_init: WARN - No epoll instance, using select\n");
        backend = make_select_backend();
    }
    install(std::move(backend));
}

int sched_set_backend(int backend) {
    if (backend != SCHED_BACKEND_SELECT && backend != SCHED_BACKEND_EPOLL)
        return -1;
    if (sched_looping)
        return -1;
    if (tm_SchedInitialized && sched_backend().kind() != backend) {
        std::unique_ptr<Backend> fresh = make(backend);
        if (!fresh || !sched_fds_move_to(*fresh))
            return -1;
        install(std::move(fresh));
    }
    chosen = backend;
    chosen_by_call = true;
    return 0;
}
