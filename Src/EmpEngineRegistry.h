// The registry of live engines (m_vCtxList, in order of construction) and the current engine
// (CEmpEngineGX::m_pCtx). Library callbacks walk the registry on their own threads while engines
// are built and torn down on the framework's thread, so one lock guards both and the handles the
// engines publish. Callbacks hold it shared for their whole walk; construction and teardown take
// it exclusively only to add, erase or publish, and nobody holds it while calling into a library
// (destroying a handle waits for the library's callback threads).
#pragma once

#include <vector>

namespace kiv {

class CEmpEngineGX;

// Holds the registry's lock shared for as long as it lives.
struct SharedRegistry {
    SharedRegistry();
    ~SharedRegistry();
    SharedRegistry(const SharedRegistry&) = delete;
    SharedRegistry& operator=(const SharedRegistry&) = delete;
};

// Holds the registry's lock exclusively for as long as it lives.
struct ExclusiveRegistry {
    ExclusiveRegistry();
    ~ExclusiveRegistry();
    ExclusiveRegistry(const ExclusiveRegistry&) = delete;
    ExclusiveRegistry& operator=(const ExclusiveRegistry&) = delete;
};

// Makes the engine the current one and appends it to the registry.
void RegisterEngine(CEmpEngineGX* engine);
// Erases the engine's first entry, if any, and clears the current engine; whether it was there.
bool UnregisterEngine(CEmpEngineGX* engine);
// The current engine, or null.
CEmpEngineGX* CurrentEngine();
// The live engines, front to back; read it only while holding a SharedRegistry.
const std::vector<void*>& RegisteredEngines();
// Stores a handle where callbacks read it: the library writes a local, and callbacks see the
// handle only once it is stored here.
void PublishHandle(int& field, int handle);

}  // namespace kiv
