// locks.h -- lock files: looking, waiting and taking them.
#pragma once

namespace zndb {

enum class LockState {
    free,    // no lock file (or, when taking, one could not be created: go on)
    taken,   // this call created the lock file; the caller removes it
    locked,  // a lock file is there and the caller does not wait
    expired, // a lock file was still there at the fifth look
};

// Looks at the lock file at path and, with wait, waits for it to go away:
// up to five looks two seconds apart. With content, the look is an attempt
// to create the lock file exclusively and write content into it, so that
// of two processes looking at once only one takes it.
LockState await_lock(const char *path, bool wait, const char *content);

} // namespace zndb
