// runtime.cpp -- the C++ runtime entry points the libraries need, without exceptions.
//
// The libraries are built with -fno-exceptions and link the C++ runtime
// statically. Defining allocation, the library's "throw" helpers and the
// pure-virtual slot filler here keeps the runtime's exception machinery
// (and with it the unwinder and its dependence on the dynamic loader) out of
// the shared objects, which then need the C library alone. Allocation that cannot fail softly aborts, as
// any C++ program built without exceptions does; code that can report a
// failure uses new (std::nothrow) or malloc and checks the result.
#include <cstdio>
#include <cstdlib>
#include <new>

namespace {

[[noreturn]] void fatal(const char *what) {
    fprintf(stderr, "zn: fatal: %s\n", what);
    abort();
}

void *allocate_or_die(std::size_t size) {
    if (void *p = malloc(size ? size : 1))
        return p;
    fatal("out of memory");
}

} // namespace

void *operator new(std::size_t size) { return allocate_or_die(size); }
void *operator new[](std::size_t size) { return allocate_or_die(size); }
void *operator new(std::size_t size, const std::nothrow_t &) noexcept { return malloc(size ? size : 1); }
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept { return malloc(size ? size : 1); }
void operator delete(void *p) noexcept { free(p); }
void operator delete[](void *p) noexcept { free(p); }
void operator delete(void *p, std::size_t) noexcept { free(p); }
void operator delete[](void *p, std::size_t) noexcept { free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { free(p); }

namespace std {
[[noreturn]] void __throw_bad_alloc() { fatal("out of memory"); }
[[noreturn]] void __throw_bad_array_new_length() { fatal("bad array length"); }
[[noreturn]] void __throw_length_error(const char *what) { fatal(what); }
[[noreturn]] void __throw_logic_error(const char *what) { fatal(what); }
[[noreturn]] void __throw_out_of_range(const char *what) { fatal(what); }
[[noreturn]] void __throw_out_of_range_fmt(const char *what, ...) { fatal(what); }
[[noreturn]] void __throw_invalid_argument(const char *what) { fatal(what); }
[[noreturn]] void __throw_bad_function_call() { fatal("bad function call"); }
} // namespace std

// Fills the slots of pure virtual functions in an abstract class's table,
// which unoptimised builds emit; the runtime's own version would bring in
// std::terminate and the exception machinery with it.
extern "C" [[noreturn]] void __cxa_pure_virtual() { fatal("pure virtual function called"); }
