// Fuzzes the simulator's profile parser (gxsim::LoadProfileFromData).
//
// Checked beyond the sanitizers: a profile that is refused says why and changes nothing.
#include <cstdint>
#include <string>

#include "FuzzSupport.h"

namespace {

struct Snapshot {
    std::optional<std::string> model;
    int cameraState, cameraQuery;
    std::set<std::string> hidden;
    int brightness;
    std::string settings;
    size_t faces;

    static Snapshot Take() {
        return Snapshot{gxsim::GetModel(),
                        gxsim::GetCameraState(),
                        gxsim::GetCameraQueryResult(),
                        gxsim::HiddenMotionEntryPoints(),
                        gxsim::GetMotionAnswers().brightness,
                        gxsim::GetSettingsPath(),
                        gxsim::GetFacesInView().size()};
    }
    bool operator==(const Snapshot& o) const {
        return model == o.model && cameraState == o.cameraState && cameraQuery == o.cameraQuery &&
               hidden == o.hidden && brightness == o.brightness && settings == o.settings &&
               faces == o.faces;
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::QuietSimulator();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    Snapshot before = Snapshot::Take();
    std::string error;
    if (gxsim::LoadProfileFromData(text, &error)) {
        fuzzsupport::QuietSimulator();  // back to the default start state for the next input
        gxsim::SetHiddenMotionEntryPoints({});
    } else {
        FUZZ_CHECK(!error.empty(), "refused without a reason");
        FUZZ_CHECK(Snapshot::Take() == before, "a refused profile changed the state: %s",
                   error.c_str());
    }
    return 0;
}
