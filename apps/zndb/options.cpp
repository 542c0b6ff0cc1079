// options.cpp -- parsing zndb's command line.
#include "options.h"

#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zndb_tool {

namespace {

enum OptionId { opt_swapped = 1, opt_param, opt_csv, opt_json, opt_desc, opt_version, opt_help };

const option long_options[] = {
    {"swapped", no_argument, nullptr, opt_swapped},
    {"param", required_argument, nullptr, opt_param},
    {"csv", no_argument, nullptr, opt_csv},
    {"json", no_argument, nullptr, opt_json},
    {"desc", required_argument, nullptr, opt_desc},
    {"version", required_argument, nullptr, opt_version},
    {"help", no_argument, nullptr, opt_help},
    {nullptr, 0, nullptr, 0},
};

// What each command takes: its file arguments and the option it alone uses.
struct CommandShape {
    const char *name;
    const char *files;  // for messages: "FILE", "FILE OUT", ...
    size_t file_count;
    int own_options;    // bit mask of the OptionIds it accepts besides --swapped
};

constexpr int bit(OptionId id) { return 1 << id; }

const CommandShape shapes[] = {
    {"info", "FILE", 1, 0},
    {"verify", "FILE", 1, 0},
    {"dump", "FILE", 1, bit(opt_param)},
    {"swap", "FILE OUT", 2, 0},
    {"export", "FILE", 1, bit(opt_csv) | bit(opt_json)},
    {"import", "CSV OUT", 2, bit(opt_desc) | bit(opt_version)},
};

const CommandShape *shape_of(const std::string &command) {
    for (const CommandShape &s : shapes)
        if (command == s.name)
            return &s;
    return nullptr;
}

bool parse_long(const char *text, long low, long high, long &value) {
    char *end = nullptr;
    errno = 0;
    value = strtol(text, &end, 10);
    return *text != '\0' && *end == '\0' && errno == 0 && value >= low && value <= high;
}

bool bad(const char *fmt, const char *detail) {
    fprintf(stderr, "zndb: ");
    fprintf(stderr, fmt, detail);
    fprintf(stderr, " (see zndb --help)\n");
    return false;
}

// Stores one option's value; false (with a message) when it is unusable.
bool apply(int id, const char *value, Invocation &inv) {
    long number;
    switch (id) {
    case opt_swapped:
        inv.swapped = true;
        return true;
    case opt_param:
        if (!parse_long(value, INT_MIN, INT_MAX, number))
            return bad("--param needs a parameter number, not \"%s\"", value);
        inv.has_param = true;
        inv.param = static_cast<int>(number);
        return true;
    case opt_csv:
    case opt_json:
        if (inv.format != Format::none)
            return bad("%s: export takes one of --csv and --json", "export");
        inv.format = id == opt_csv ? Format::csv : Format::json;
        return true;
    case opt_desc:
        if (strlen(value) > 79)
            return bad("the description \"%s\" is longer than 79 characters", value);
        inv.has_desc = true;
        inv.desc = value;
        return true;
    case opt_version:
        if (!parse_long(value, INT32_MIN, INT32_MAX, number))
            return bad("--version needs a 32-bit number, not \"%s\"", value);
        inv.version = number;
        return true;
    }
    return false;
}

// The files and options given fit the command.
bool fits(const CommandShape &shape, const Invocation &inv, int given) {
    if (inv.files.size() != shape.file_count) {
        fprintf(stderr, "zndb: %s takes %s (see zndb --help)\n", shape.name, shape.files);
        return false;
    }
    if (given & ~(shape.own_options | bit(opt_swapped)))
        return bad("%s does not take that option", shape.name);
    if (inv.command == "export" && inv.format == Format::none)
        return bad("%s needs --csv or --json", "export");
    if (inv.command == "import" && !inv.has_desc)
        return bad("%s needs --desc TEXT", "import");
    return true;
}

} // namespace

ParseResult parse_options(int argc, char **argv, Invocation &inv) {
    if (argc < 2) {
        fputs(usage(), stderr);
        return ParseResult::bad_usage;
    }
    inv.command = argv[1];
    if (inv.command == "--help" || inv.command == "-h")
        return ParseResult::help;
    const CommandShape *shape = shape_of(inv.command);
    if (!shape) {
        bad("unknown command \"%s\"", argv[1]);
        return ParseResult::bad_usage;
    }
    // The options follow the command word: parse argv from there on.
    const int sub_argc = argc - 1;
    char **sub_argv = argv + 1;
    opterr = 0;
    int id, given = 0;
    while ((id = getopt_long(sub_argc, sub_argv, "", long_options, nullptr)) != -1) {
        if (id == opt_help)
            return ParseResult::help;
        if (id == '?' || id == ':') {
            bad("unknown option or missing value: %s", sub_argv[optind - 1]);
            return ParseResult::bad_usage;
        }
        given |= bit(static_cast<OptionId>(id));
        if (!apply(id, optarg, inv))
            return ParseResult::bad_usage;
    }
    inv.files.assign(sub_argv + optind, sub_argv + sub_argc);
    return fits(*shape, inv, given) ? ParseResult::run : ParseResult::bad_usage;
}

const char *usage() {
    return "Usage: zndb COMMAND ARGUMENTS [--swapped]\n"
           "\n"
           "Inspects and converts zn data files.\n"
           "\n"
           "  zndb info FILE                 header, record blocks present, size\n"
           "  zndb verify FILE               check every record block; status 1 and the\n"
           "                                 byte offset of the first problem otherwise\n"
           "  zndb dump FILE [--param N]     every record, or parameter N of each\n"
           "  zndb swap FILE OUT             write FILE in the other byte order as OUT\n"
           "  zndb export FILE --csv|--json  records on standard output\n"
           "  zndb import CSV OUT --desc TEXT [--version N]\n"
           "                                 a data file from CSV lines (table: OUT's name)\n"
           "\n"
           "  --swapped  the file's integers are byte-reversed (written with byte swapping\n"
           "             on); swap writes OUT in host order then, and import writes it\n"
           "             byte-reversed\n"
           "\n"
           "Values that are not text show as \\xHH, and a backslash as \\\\ (CSV, dump);\n"
           "JSON shows them as {\"hex\": \"...\"}. import reads these escapes back.\n"
           "Exit status: 0 done, 1 a damaged or unreadable file, 2 wrong usage.\n";
}

} // namespace zndb_tool
