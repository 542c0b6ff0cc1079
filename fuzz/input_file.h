// input_file.h -- a fuzz input written to a file, for targets whose code under test reads files.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>

namespace znfuzz {

class InputFile {
public:
    // Names the file after tag and this process (call once, at initialisation).
    void name(const char *tag) {
        snprintf(path_, sizeof path_, "/tmp/fuzz-%s-%ld.db", tag, static_cast<long>(getpid()));
    }

    // Writes the input; false when the file cannot be made.
    bool write(const uint8_t *data, size_t size) {
        FILE *f = fopen(path_, "wb");
        if (!f)
            return false;
        fwrite(data, 1, size, f);
        fclose(f);
        return true;
    }

    void remove() { unlink(path_); }
    char *path() { return path_; }

private:
    char path_[64] = "";
};

} // namespace znfuzz
