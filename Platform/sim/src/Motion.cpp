// The simulated motion-recognition library: instances, subscriptions and the settings that read
// back. Every call is traced and may have its result forced.
#include "MotionImpl.h"
#include "SimState.h"

using namespace gxsim;
using namespace gxsim::internal;

namespace {

using Lock = std::unique_lock<std::mutex>;

// A call on one instance: 0 for an unknown handle, otherwise what `fn` returns.
template <class Fn>
int OnInstance(const char* name, int handle, std::vector<std::string> args, Fn&& fn) {
    return Traced(name, std::move(args), [&](Lock&, std::string& detail) {
        MotionInstance* m = FindMotion(handle);
        return m ? fn(*m, detail) : 0;
    });
}

// A getter writing one int through `out`.
template <class Get>
int GetInt(const char* name, int handle, int* out, Get&& get) {
    return OnInstance(name, handle, {Num(handle), FormatPointer(out)},
                      [&](MotionInstance& m, std::string& detail) {
                          if (!out) return 0;
                          *out = get(m);
                          detail = "value=" + Num(*out);
                          return 1;
                      });
}

}  // namespace

extern "C" {

int gxsim_gx_motion_recog_create(int* handle) {
    return Traced("gx_motion_recog_create", {FormatPointer(handle)},
                  [&](Lock&, std::string& detail) {
                      if (!handle) return 0;
                      State& s = SimState();
                      MotionInstance m;
                      GVariant* taken = nullptr;
                      if (!Edit("takeMotionHandle", nullptr, &taken, nullptr)) return 0;
                      m.handle = g_variant_get_int32(taken);
                      g_variant_unref(taken);
                      s.motion.emplace(s.nextInstance++, m);
                      *handle = m.handle;
                      detail = "handle=" + Num(m.handle);
                      return 1;
                  });
}

int gxsim_gx_motion_recog_destroy(int handle) {
    return Traced("gx_motion_recog_destroy", {Num(handle)}, [&](Lock& lk, std::string&) {
        uint64_t id = 0;
        if (!FindMotion(handle, &id)) return 0;
        SimState().motion.erase(id);
        DropQueued(Lib::Motion, id);
        WaitIdle(lk, Lib::Motion, id);
        return 1;
    });
}

int gxsim_gx_set_motion_signal_subscribed(int handle, int signal, GXSignalCallback cb,
                                          void* userData) {
    return OnInstance("gx_set_motion_signal_subscribed", handle,
                      {Num(handle), Num(signal), FormatPointer(reinterpret_cast<void*>(cb)),
                       FormatPointer(userData)},
                      [&](MotionInstance& m, std::string&) {
                          // Only the library's own signals (1000 to 1034) can be subscribed.
                          if (!cb || signal < 1000 || signal > 1034) return 0;
                          m.subs[signal] = Subscription{cb, userData};
                          SimState().lastMotionCb = Subscription{cb, userData};
                          return 1;
                      });
}

int gxsim_gx_motion_signal_unsubscribed(int handle, int signal) {
    return OnInstance(
        "gx_motion_signal_unsubscribed", handle, {Num(handle), Num(signal)},
        [&](MotionInstance& m, std::string&) { return m.subs.erase(signal) ? 1 : 0; });
}

int gxsim_gx_start_motion_recog(int handle) {
    return OnInstance("gx_start_motion_recog", handle, {Num(handle)},
                      [](MotionInstance& m, std::string&) {
                          m.status = 1;
                          return 1;
                      });
}

int gxsim_gx_stop_motion_recog(int handle) {
    return OnInstance("gx_stop_motion_recog", handle, {Num(handle)},
                      [](MotionInstance& m, std::string&) {
                          m.status = 0;
                          return 1;
                      });
}

int gxsim_gx_enable_motion_recognition(int handle, int enable) {
    return OnInstance("gx_enable_motion_recognition", handle, {Num(handle), Num(enable)},
                      [&](MotionInstance& m, std::string&) {
                          m.enabled = enable != 0;
                          return 1;
                      });
}

int gxsim_gx_is_motion_recognition_enabled(int handle) {
    return OnInstance("gx_is_motion_recognition_enabled", handle, {Num(handle)},
                      [](MotionInstance& m, std::string&) { return m.enabled; });
}

int gxsim_gx_get_motion_recognition_status(int handle, gx_recog_status* status) {
    return GetInt("gx_get_motion_recognition_status", handle, status,
                  [](MotionInstance& m) { return m.status; });
}

int gxsim_gx_get_motion_brightness_level(int handle, int* level) {
    return GetInt("gx_get_motion_brightness_level", handle, level,
                  [](MotionInstance&) { return SimState().cfg.answers.brightness; });
}

int gxsim_gx_is_two_hand_motion_valid(int handle) {
    return OnInstance(
        "gx_is_two_hand_motion_valid", handle, {Num(handle)},
        [](MotionInstance&, std::string&) { return SimState().cfg.answers.twoHandValid; });
}

int gxsim_gx_is_slap_motion_valid(int handle) {
    return OnInstance(
        "gx_is_slap_motion_valid", handle, {Num(handle)},
        [](MotionInstance&, std::string&) { return SimState().cfg.answers.slapValid; });
}

int gxsim_gx_is_thumbup_motion_valid(int handle) {
    return OnInstance(
        "gx_is_thumbup_motion_valid", handle, {Num(handle)},
        [](MotionInstance&, std::string&) { return SimState().cfg.answers.thumbupValid; });
}

int gxsim_gx_enable_motion_hint(int handle, int value) {
    return OnInstance("gx_enable_motion_hint", handle, {Num(handle), Num(value)},
                      [&](MotionInstance& m, std::string&) {
                          m.hint = value;
                          return 1;
                      });
}

int gxsim_gx_set_zoom_trigger_condition(int handle, int value) {
    return OnInstance("gx_set_zoom_trigger_condition", handle, {Num(handle), Num(value)},
                      [&](MotionInstance& m, std::string&) {
                          m.zoom = value;
                          return 1;
                      });
}

int gxsim_gx_get_zoom_trigger_condition(int handle, int* value) {
    return GetInt("gx_get_zoom_trigger_condition", handle, value,
                  [](MotionInstance& m) { return m.zoom; });
}

int gxsim_gx_set_rotate_trigger_condition(int handle, int value) {
    return OnInstance("gx_set_rotate_trigger_condition", handle, {Num(handle), Num(value)},
                      [&](MotionInstance& m, std::string&) {
                          m.rotate = value;
                          return 1;
                      });
}

int gxsim_gx_get_rotate_trigger_condition(int handle, int* value) {
    return GetInt("gx_get_rotate_trigger_condition", handle, value,
                  [](MotionInstance& m) { return m.rotate; });
}

int gxsim_gx_is_motion_engine_valid(int handle) {
    return OnInstance(
        "gx_is_motion_engine_valid", handle, {Num(handle)},
        [](MotionInstance&, std::string&) { return SimState().cfg.answers.engineValid; });
}

int gxsim_gx_enable_swipe(int handle, int enable) {
    return OnInstance("gx_enable_swipe", handle, {Num(handle), Num(enable)},
                      [&](MotionInstance& m, std::string&) {
                          m.swipe = enable != 0;
                          return 1;
                      });
}

}  // extern "C"
