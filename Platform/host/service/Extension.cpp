// Registry of host extensions, filled by static initializers before main runs.
#include "gxhost/Extension.h"

namespace gxhost {

namespace {
// A function-local static: registration may run before this file's own statics are built.
std::vector<Extension*>& Registry() {
    static std::vector<Extension*> registry;
    return registry;
}
}  // namespace

void RegisterExtension(Extension* extension) {
    Registry().push_back(extension);
}

const std::vector<Extension*>& Extensions() {
    return Registry();
}

}  // namespace gxhost
