// text.cpp -- parameters as text for search and sort, and the lower-case table.
#include <cctype>

#include "internal.h"

namespace zndb {

CaseFold::CaseFold() {
    for (int c = 0; c < 256; ++c)
        lower[c] = static_cast<unsigned char>(tolower(c));
}

std::string_view text_of(DataBaseParam *dbp) { return db_param_string(dbp); }

std::string_view param_text(DataBaseInfo *dbi, int n) {
    return text_of(db_param_recall(dbi, n));
}

} // namespace zndb
