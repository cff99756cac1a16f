// The simulated system-information, factory-data and camera-control services.
#include <cstdlib>
#include <cstring>

#include "SimState.h"
#include "factory_data.h"
#include "system_info.h"
#include "tvcamera_control.h"

using namespace gxsim;
using namespace gxsim::internal;

extern "C" int system_info_get_value_string(int key, char** value) {
    if (!value || key != SYSTEM_INFO_KEY_MODEL_NAME) return -1;
    auto lk = LockTv();
    const auto& model = SimState().cfg.model;
    if (!model) return -1;
    char* copy = strdup(model->c_str());
    if (!copy) return -1;
    *value = copy;
    return 0;
}

extern "C" int GetData(int id, int* value) {
    if (!value) return 0;
    auto lk = LockTv();
    auto it = SimState().cfg.factory.find(id);
    if (it == SimState().cfg.factory.end() || !it->second) return 0;
    *value = *it->second;
    return 1;
}

extern "C" int tvcamera_control_check_camera_state(int* state) {
    return Traced("tvcamera_control_check_camera_state", {FormatPointer(state)},
                  [&](std::unique_lock<std::mutex>&, std::string& detail) {
                      const Config& c = SimState().cfg;
                      if (c.cameraQuery != 0) return c.cameraQuery;
                      if (!state) return -1;
                      *state = c.cameraState;
                      detail = "state=" + Num(c.cameraState);
                      return 0;
                  });
}
