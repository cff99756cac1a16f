// Dispatching a verb of a table (Verbs.h) and the help that is generated from it.
#include "Verbs.h"

#include <sstream>

#include "gxempctl.h"

namespace gxempctl {

namespace {

constexpr size_t kHelpColumn = 31;  // where descriptions start
constexpr size_t kWidth = 79;

const Verb* Find(const VerbTable& table, const std::string& name) {
    for (const Verb* v = table.begin; v != table.end; ++v)
        if (name == v->name) return v;
    return nullptr;
}

// The shown verb an alias stands for: the entry with a usage before it.
const Verb* Shown(const VerbTable& table, const Verb* verb) {
    while (verb->usage == nullptr && verb != table.begin) --verb;
    return verb;
}

std::vector<std::string> Lines(const char* text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    if (lines.empty()) lines.emplace_back();
    return lines;
}

std::vector<std::string> Words(const char* text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

std::string Count(size_t n) {
    return std::to_string(n) + (n == 1 ? " argument" : " arguments");
}

// "takes 1 or 2 arguments", "takes no arguments", "takes at least 1 argument", ...
std::string Takes(const Verb& v) {
    if (v.maxArgs == 0) return "takes no arguments";
    if (v.maxArgs == kAnyArgs) return "takes at least " + Count(v.minArgs);
    if (v.minArgs == v.maxArgs) return "takes " + Count(v.minArgs);
    if (v.minArgs == 0) return "takes at most " + Count(v.maxArgs);
    if (v.minArgs + 1 == v.maxArgs)
        return "takes " + std::to_string(v.minArgs) + " or " + Count(v.maxArgs);
    return "takes " + std::to_string(v.minArgs) + " to " + Count(v.maxArgs);
}

std::string Synopsis(const VerbTable& table, const Verb& v) {
    std::string out;
    for (const std::string& form : Lines(v.usage))
        out += std::string(out.empty() ? "" : " | ") + "gxempctl " + table.path + v.name +
               (form.empty() ? "" : " " + form);
    return out;
}

}  // namespace

std::vector<std::string> VerbNames(const VerbTable& table) {
    std::vector<std::string> names;
    for (const Verb* v = table.begin; v != table.end; ++v)
        if (v->usage != nullptr) names.push_back(v->name);
    return names;
}

std::string VerbHelp(const VerbTable& table, const Verb& verb) {
    const Verb& v = *Shown(table, &verb);
    if (v.subverbs != nullptr && v.help == nullptr) {
        std::string out;
        for (const Verb* s = v.subverbs->begin; s != v.subverbs->end; ++s)
            if (s->usage != nullptr) out += VerbHelp(*v.subverbs, *s);
        return out;
    }
    std::string out;
    std::vector<std::string> forms = Lines(v.usage);
    for (size_t i = 0; i < forms.size(); ++i) {
        std::string line = std::string("  ") + table.path + v.name;
        if (!forms[i].empty()) line += " " + forms[i];
        // The description starts on the last form's line when there is room for it.
        if (i + 1 == forms.size() && line.size() < kHelpColumn)
            line.resize(kHelpColumn, ' ');
        else
            line += "\n";
        out += line;
    }
    std::string wrapped = WrapWords(Words(v.help), kHelpColumn, kWidth);
    if (out.back() == ' ') wrapped.erase(0, kHelpColumn);  // the first line goes after the form
    return out + wrapped;
}

[[noreturn]] void VerbUsage(const VerbTable& table, const char* name, const std::string& what) {
    const Verb* v = Find(table, name);
    std::string usage = v != nullptr ? Synopsis(table, *Shown(table, v)) : std::string();
    Usage((what.empty() ? "" : what + "\n") + "usage: " + usage);
}

int DispatchVerb(const VerbTable& table, Args& args) {
    if (args.empty()) {
        std::string names;
        for (const std::string& n : VerbNames(table)) names += (names.empty() ? "" : ", ") + n;
        Usage(std::string(table.path) + "needs a subcommand: " + names);
    }
    const Verb* v = Find(table, args[0]);
    if (v == nullptr)
        Usage("unknown " + std::string(table.kind) + " '" + args[0] + "'" +
              DidYouMean(args[0], VerbNames(table)));
    Args rest(args.begin() + 1, args.end());
    if (rest.size() < v->minArgs || rest.size() > v->maxArgs)
        VerbUsage(table, v->name,
                  table.path + args[0] + " " + Takes(*v) + ", not " + std::to_string(rest.size()));
    return v->run(rest);
}

const Verb* FindVerbPath(const VerbTable** table, const Args& args, size_t* used) {
    const Verb* found = nullptr;
    for (*used = 0; *used < args.size();) {
        const Verb* v = Find(**table, args[*used]);
        if (v == nullptr) break;
        found = v;
        ++*used;
        if (v->subverbs == nullptr || *used == args.size() ||
            Find(*v->subverbs, args[*used]) == nullptr)
            break;
        *table = v->subverbs;
    }
    return found;
}

}  // namespace gxempctl
