// JSON as the programs under test print it: one value, or one per line (JSON lines, where a line
// that starts with '#' is a comment, as in scenario files).
#pragma once

#include <json/json.h>

#include <string>
#include <vector>

namespace gxtest {

// The JSON value in `text`; what is not JSON throws (failing a test, stopping a benchmark).
Json::Value ParseJson(const std::string& text);
// One value per line of `text`, blank and comment lines skipped.
std::vector<Json::Value> JsonLines(const std::string& text);

}  // namespace gxtest
