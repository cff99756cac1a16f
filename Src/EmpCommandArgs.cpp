// Decoding of the arguments a client's command brings.
#include <climits>
#include <cstdlib>
#include <exception>

#include "EmpEngineCommand.h"

namespace kiv {

int DecimalArgument(const std::string& text) {
    long value = std::strtol(text.c_str(), nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

bool ParseJsonText(const std::string& text, Json::Value& root) {
    try {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        Json::Reader reader;
#pragma GCC diagnostic pop
        return reader.parse(text, root, true);
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace kiv
