// fruit.h -- a small database for the tests of the C++ interface, and its names in order.
#pragma once

#include <string>
#include <utility>

#include "zn/db.hpp"

namespace zntest {

// A database "fruit" of records (name, colour): pear, Apple, banana, apple.
inline zn::database fruit() {
    zn::database db = zn::database::create("fruit", "Fruit and colours", 3);
    for (auto [name, colour] : {std::pair{"pear", "green"}, {"Apple", "red"}, {"banana", "yellow"},
                                {"apple", "green"}}) {
        zn::record rec = db.add();
        rec.add(name);
        rec.add(colour);
    }
    return db;
}

// The first parameter of every record, each followed by a blank.
inline std::string names(zn::record_range records) {
    std::string all;
    for (zn::record rec : records)
        all += std::string(rec[1]) + " ";
    return all;
}

} // namespace zntest
