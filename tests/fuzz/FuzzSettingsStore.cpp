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

std::string Store() {
    return fuzzsupport::PrivateDir() + "/store.ini";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::QuietSimulator();
    gxsim::SetSettingsPath(Store());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string content(reinterpret_cast<const char*>(data), size);
    {
        std::ofstream out(Store(), std::ios::binary | std::ios::trunc);
        out << content;
    }
    int value = -7;
    vconf_get_int(kKey, &value);
    int other = -7;
    vconf_get_int("db/menu/sound/volume", &other);

    int wanted = size % 2 == 0 ? 1 : 0;
    if (vconf_set_int(kKey, wanted) == 0) {
        int back = -7;
        FUZZ_CHECK(vconf_get_int(kKey, &back) == 0 && back == wanted, "wrote %d, read back %d",
                   wanted, back);
    } else {
        FUZZ_CHECK(ReadFile(Store()) == content, "a failed write changed the store");
    }
    return 0;
}
