// The tables of gxempctl's commands and of the subcommands of `sim`: each verb's name, how many
// words may follow it, the function that runs it and its help. Dispatching, the argument count
// check, `help [COMMAND [SUBCOMMAND]]`, `COMMAND --help` and the names the suggestions and the
// shell completion offer all come from these tables (the completion reads them from this
// source at build time: keep each entry's name and usage as string literals).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace gxempctl {

using Args = std::vector<std::string>;

constexpr size_t kAnyArgs = SIZE_MAX;

struct VerbTable;

struct Verb {
    const char* name;
    // How many words may follow the name. A command that reads options of its own takes any
    // number and checks them itself.
    size_t minArgs, maxArgs;
    int (*run)(Args& args);
    // What follows the name in the synopsis; one form per line. nullptr: an alias of the verb
    // before it, left out of the help and of the completion.
    const char* usage;
    const char* help;           // what it does, wrapped to the terminal's 79 columns when printed
    const VerbTable* subverbs;  // `run` dispatches them (sim, sim settings); else nullptr
};

struct VerbTable {
    const char* path;  // the words before a verb of this table: "" for the commands, "sim "
    const char* kind;  // "command", "sim subcommand"
    const Verb* begin;
    const Verb* end;
};

// The commands of gxempctl (main.cpp) and the subcommands of sim (Sim.cpp).
extern const VerbTable kCommandTable;
extern const VerbTable kSimTable;

// The names of the verbs that are shown (aliases left out), in table order.
std::vector<std::string> VerbNames(const VerbTable& table);
// Runs the verb args[0] of `table` with the words after it, after checking their number. An
// unknown verb is a usage error that suggests the names closest to it.
int DispatchVerb(const VerbTable& table, Args& args);
// The help lines of a verb (and of its subverbs), each form as "  PATH NAME USAGE" followed by
// the description at column 32.
std::string VerbHelp(const VerbTable& table, const Verb& verb);
// The verb that args names in `table`, descending into subverbs while the next word names one
// (`*table` becomes the table of the verb found); *used counts the words that named verbs.
// nullptr when args[0] is not a verb.
const Verb* FindVerbPath(const VerbTable** table, const Args& args, size_t* used);
// A usage error with the verb's usage; `what` says what is wrong ("" for nothing more).
[[noreturn]] void VerbUsage(const VerbTable& table, const char* name, const std::string& what);

}  // namespace gxempctl
