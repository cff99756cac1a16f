#include "EmpEngineRegistry.h"

#include <pthread.h>

#include <algorithm>

#include "EmpEngineGX.h"

namespace kiv {

CEmpEngineGX* CEmpEngineGX::m_pCtx = nullptr;

namespace {

std::vector<void*> m_vCtxList;

// Writers are preferred so that a steady stream of callbacks cannot hold teardown off forever.
class RegistryLock {
public:
    RegistryLock() {
        pthread_rwlockattr_t attr;
        pthread_rwlockattr_init(&attr);
        pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
        pthread_rwlock_init(&m_Lock, &attr);
        pthread_rwlockattr_destroy(&attr);
    }
    ~RegistryLock() { pthread_rwlock_destroy(&m_Lock); }
    void LockShared() { pthread_rwlock_rdlock(&m_Lock); }
    void LockExclusive() { pthread_rwlock_wrlock(&m_Lock); }
    void Unlock() { pthread_rwlock_unlock(&m_Lock); }

private:
    pthread_rwlock_t m_Lock;
};

RegistryLock g_CtxLock;

}  // namespace

SharedRegistry::SharedRegistry() {
    g_CtxLock.LockShared();
}

SharedRegistry::~SharedRegistry() {
    g_CtxLock.Unlock();
}

ExclusiveRegistry::ExclusiveRegistry() {
    g_CtxLock.LockExclusive();
}

ExclusiveRegistry::~ExclusiveRegistry() {
    g_CtxLock.Unlock();
}

void RegisterEngine(CEmpEngineGX* engine) {
    ExclusiveRegistry registry;
    CEmpEngineGX::m_pCtx = engine;
    m_vCtxList.push_back(engine);
}

bool UnregisterEngine(CEmpEngineGX* engine) {
    ExclusiveRegistry registry;
    auto it = std::find(m_vCtxList.begin(), m_vCtxList.end(), engine);
    const bool removed = it != m_vCtxList.end();
    if (removed) m_vCtxList.erase(it);
    CEmpEngineGX::m_pCtx = nullptr;
    return removed;
}

CEmpEngineGX* CurrentEngine() {
    SharedRegistry registry;
    return CEmpEngineGX::m_pCtx;
}

const std::vector<void*>& RegisteredEngines() {
    return m_vCtxList;
}

void PublishHandle(int& field, int handle) {
    ExclusiveRegistry registry;
    field = handle;
}

}  // namespace kiv
