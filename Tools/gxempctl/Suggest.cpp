// The plug-in's command names (generated from its source at build time) and suggestions for a
// name that is close to one of a list: a mistyped command of `call`, of gxempctl itself, or an
// event name.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sstream>

#include "gxempctl.h"

namespace gxempctl {

extern const char kPluginCommandNames[];

const std::vector<std::string>& PluginCommands() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> out;
        std::istringstream words(kPluginCommandNames);
        for (std::string w; words >> w;) out.push_back(w);
        return out;
    }();
    return names;
}

namespace {

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Levenshtein distance, one row at a time.
size_t Distance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

}  // namespace

std::string DidYouMean(const std::string& word, const std::vector<std::string>& names) {
    const std::string w = Lower(word);
    if (w.empty()) return "";
    // A third of the word may be wrong; a name that holds the word is close whatever it adds.
    const size_t limit = std::max<size_t>(2, w.size() / 3);
    std::vector<std::pair<size_t, std::string>> close;
    for (const std::string& name : names) {
        const std::string n = Lower(name);
        size_t d = Distance(w, n);
        if (d <= limit || (w.size() >= 4 && n.find(w) != std::string::npos))
            close.push_back({d, name});
    }
    if (close.empty()) return "";
    std::stable_sort(close.begin(), close.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    if (close.size() > 3) close.resize(3);
    std::string out = "; did you mean ";
    for (size_t i = 0; i < close.size(); ++i) {
        if (i > 0) out += i + 1 == close.size() ? " or " : ", ";
        out += close[i].second;
    }
    return out + "?";
}

std::string WrapWords(const std::vector<std::string>& names, size_t indent, size_t width) {
    std::string out, line(indent, ' ');
    for (const std::string& n : names) {
        if (line.size() > indent && line.size() + 1 + n.size() > width) {
            out += line + "\n";
            line.assign(indent, ' ');
        }
        line += (line.size() > indent ? " " : "") + n;
    }
    if (line.size() > indent) out += line + "\n";
    return out;
}

int32_t ParseIntIn(const std::string& text, const char* what, int32_t min, int32_t max) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || errno != 0 || *end != '\0' || v < min || v > max)
        Usage(std::string(what) + " must be " +
              (max == INT32_MAX ? std::to_string(min) + " or more"
                                : std::to_string(min) + ".." + std::to_string(max)) +
              ", not '" + text + "'");
    return static_cast<int32_t>(v);
}

}  // namespace gxempctl
