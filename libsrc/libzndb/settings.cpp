// settings.cpp -- the process-wide settings: data path, verbosity, byte order, null text.
#include <cstring>

#include "internal.h"

namespace {
char default_null_string[] = "(null)";
}

char _db_data_path[256];
int _db_verbose = 1;
int _db_byte_swap;
char *_db_default_null_string = default_null_string;

int db_set_data_path(char *dpath) {
    if (!dpath || strlen(dpath) >= sizeof _db_data_path)
        return 0;
    strcpy(_db_data_path, dpath);
    return 1;
}

void db_set_verbose(int x) { _db_verbose = x; }

void db_set_byte_swap(int x) { _db_byte_swap = x; }

void db_set_default_null_string(char *s) { _db_default_null_string = s; }
