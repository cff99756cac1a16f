// Readable names of parameterised tests, from a table row's own text: gtest accepts letters,
// digits and '_' only, and otherwise names a row by its bytes.
#pragma once

#include <cctype>
#include <string>
#include <vector>

namespace gxtest {

// The first `words` words of `text`, joined by '_' ("':2: 'at': missing" -> "2_at_missing").
inline std::string TestName(const std::string& text, size_t words = 8) {
    std::string name;
    size_t count = 0;
    bool inWord = false;
    for (char c : text) {
        bool alnum = std::isalnum(static_cast<unsigned char>(c)) != 0;
        if (alnum && !inWord && count++ == words) break;
        if (alnum && !inWord && !name.empty()) name += '_';
        if (alnum) name += c;
        inWord = alnum;
    }
    return name.empty() ? "empty" : name;
}

// The name of a row by the command line it runs ("sim", "camera", "x" -> "sim_camera_x").
inline std::string TestName(const std::vector<std::string>& args) {
    std::string line;
    for (const std::string& a : args) line += a + " ";
    return TestName(line, args.size() + 8);
}

}  // namespace gxtest
