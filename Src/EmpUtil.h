// Model text of the TV and model matching.
#pragma once

#include <string>
#include <vector>

namespace kiv {

class CEMPUtil {
public:
    // The TV's model text, or a single blank when the platform gives none.
    static std::string GetSWVersion();
    // Whether `model` begins with `code` (case-sensitive).
    static bool MatchModelType(std::string& model, std::string& code);
    // 0 when `model` begins with one of `codes` (tried in order), 1 when with none.
    static int MatchSpecifiedModels(std::string& model, std::vector<std::string>& codes);
};

}  // namespace kiv
