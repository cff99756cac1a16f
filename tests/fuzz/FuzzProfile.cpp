// Fuzzes the simulator's profile parser (gxsim::LoadProfileFromData).
//
// Checked beyond the sanitizers: a profile that is refused says why and changes nothing.
#include <cstdint>
#include <string>

#include "FuzzSupport.h"

namespace {

// What a profile sets, as text.
std::string State() {
    std::string text = gxsim::GetModel().value_or("(none)");
    for (const std::string& name : gxsim::HiddenMotionEntryPoints()) text += " " + name;
    return text + " " + std::to_string(gxsim::GetCameraState()) + " " +
           std::to_string(gxsim::GetCameraQueryResult()) + " " +
           std::to_string(gxsim::GetMotionAnswers().brightness) + " " +
           std::to_string(gxsim::GetFacesInView().size()) + " " + gxsim::GetSettingsPath();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::QuietSimulator();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string before = State();
    std::string error;
    if (gxsim::LoadProfileFromData(std::string(reinterpret_cast<const char*>(data), size),
                                   &error)) {
        fuzzsupport::QuietSimulator();  // back to the default start state for the next input
        gxsim::SetHiddenMotionEntryPoints({});
    } else {
        FUZZ_CHECK(!error.empty(), "refused without a reason");
        FUZZ_CHECK(State() == before, "a refused profile changed the state: %s", error.c_str());
    }
    return 0;
}
