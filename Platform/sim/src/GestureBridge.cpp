// libgesture-bridge.so: the simulated motion-recognition library as the plug-in opens it.
//
// Each of the 20 exported entry points is a GNU indirect function. The dynamic loader runs its
// resolver when the symbol is looked up (dlsym) and the resolver answers NULL for an entry point
// the simulator hides, so the lookup finds nothing, as with a library build that lacks it. The
// work itself is done by libgxemp-sim.so, where the simulator's state lives.
//
// The resolvers run inside the loader: they only read one word through a plain call and carry no
// sanitizer instrumentation. Nothing in this library calls its own exported symbols, so no
// resolver runs while the library is being relocated.
#include "MotionImpl.h"
#include "SimState.h"
#include "gesture_bridge.h"

// Hidden rather than static: clang gives static functions in extern "C" a mangled name, which
// the ifunc attribute's plain name would then not find.
#define GXSIM_RESOLVER_ATTRS \
    __attribute__((no_sanitize("address", "thread", "undefined"), used, visibility("hidden")))

extern "C" {

#define GXSIM_DEFINE_IFUNC(index, name, params)                                          \
    GXSIM_RESOLVER_ATTRS name##_t gxsim_resolve_##name(void) {                           \
        return (gxsim_hidden_motion_mask() & (1u << (index))) ? nullptr : &gxsim_##name; \
    }                                                                                    \
    int name params __attribute__((ifunc("gxsim_resolve_" #name)));

GXSIM_MOTION_ENTRY_POINTS(GXSIM_DEFINE_IFUNC)

#undef GXSIM_DEFINE_IFUNC
}
