// Fuzzes the simulated settings store's file parser: the input is the whole content of the store
// file, read with vconf_get_int and then written with vconf_set_int.
//
// Checked beyond the sanitizers: a write that succeeds reads back; a write that fails leaves the
// file exactly as it was (a store that does not parse is kept for a person to look at).
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "FuzzSupport.h"
#include "vconf.h"

namespace {
const char kKey[] = "db/menu/accessibility/tts";
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::QuietSimulator();
    gxsim::SetSettingsPath(fuzzsupport::PrivateDir() + "/store.ini");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string content(reinterpret_cast<const char*>(data), size);
    std::ofstream(gxsim::GetSettingsPath(), std::ios::binary | std::ios::trunc) << content;
    int value = -7, other = -7;
    vconf_get_int(kKey, &value);
    vconf_get_int("db/menu/sound/volume", &other);
    const int wanted = size % 2 == 0 ? 1 : 0;
    if (vconf_set_int(kKey, wanted) == 0) {
        FUZZ_CHECK(vconf_get_int(kKey, &value) == 0 && value == wanted, "wrote %d, read back %d",
                   wanted, value);
    } else {
        std::ifstream in(gxsim::GetSettingsPath(), std::ios::binary);
        FUZZ_CHECK(std::string(std::istreambuf_iterator<char>(in), {}) == content,
                   "a failed write changed the store");
    }
    return 0;
}
