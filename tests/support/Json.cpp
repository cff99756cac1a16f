#include "Json.h"

#include <sstream>

namespace gxtest {

Json::Value ParseJson(const std::string& text) {
    Json::Value v;
    std::istringstream(text) >> v;
    return v;
}

std::vector<Json::Value> JsonLines(const std::string& text) {
    std::vector<Json::Value> values;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#') values.push_back(ParseJson(line));
    return values;
}

}  // namespace gxtest
