// The TV shared by several processes.
//
// A TV has one camera, one face store and one settings path, however many processes serve its
// clients. When the service runs a process per client, the broker moves the TV's state into a
// shared memory segment (ShareState) that every worker maps (JoinSharedState). Each process keeps
// a local copy of that state, so that reading it costs nothing but an atomic load of the
// segment's generation; a change (a control call, training a face, creating a handle) takes the
// segment's process-shared mutex, applies itself to the freshest copy and publishes the whole
// state again.
//
// The state is written as a GVariant into whichever of two slots is not active, and only then
// made active: a process killed while publishing leaves the previous state intact, and the robust
// mutex hands the lock on.
#include <errno.h>
#include <glib.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "SimState.h"
#include "dlog.h"

namespace gxsim::internal {
namespace {

constexpr uint32_t kMagic = 0x67785456;       // "gxTV"
constexpr size_t kSlotBytes = 4u << 20;       // pages are only used as far as the state needs
constexpr char kStateType[] =                 // see Serialize
    "(msa{i(bi)}ii(bd)asa(iiiii)(iiiii)sa{si}iiia(i(bi)siiii)s)";

struct Segment {
    uint32_t magic;
    int32_t creator;
    pthread_mutex_t mutex;  // process-shared, robust
    uint64_t generation;    // bumped by every publication; read without the mutex as a hint
    uint32_t active;
    uint32_t length[2];
    uint32_t hiddenMask;  // read lock-free by the motion library's resolvers
    uint64_t traceSeq;
    char slot[2][kSlotBytes];
};

Segment* gSegment = nullptr;  // accessed with __atomic builtins; set once
uint64_t gGeneration = 0;     // generation of the local copy; under S().mu
uint64_t gLocalSeq = 0;       // under S().mu
unsigned gLocalMask = 0;      // accessed with __atomic builtins

Segment* Seg() {
    return __atomic_load_n(&gSegment, __ATOMIC_ACQUIRE);
}

GVariant* Serialize(const State& s) {
    const Config& c = s.cfg;
    GVariantBuilder factory, hidden, faces, forced, stored;
    g_variant_builder_init(&factory, G_VARIANT_TYPE("a{i(bi)}"));
    for (const auto& [id, value] : c.factory)
        g_variant_builder_add(&factory, "{i(bi)}", id, value.has_value(), value.value_or(0));
    g_variant_builder_init(&hidden, G_VARIANT_TYPE("as"));
    for (const std::string& name : c.hidden) g_variant_builder_add(&hidden, "s", name.c_str());
    g_variant_builder_init(&faces, G_VARIANT_TYPE("a(iiiii)"));
    for (const ViewFace& f : c.faces)
        g_variant_builder_add(&faces, "(iiiii)", f.person, f.x, f.y, f.w, f.h);
    g_variant_builder_init(&forced, G_VARIANT_TYPE("a{si}"));
    for (const auto& [entry, value] : s.forced)
        g_variant_builder_add(&forced, "{si}", entry.c_str(), value);
    g_variant_builder_init(&stored, G_VARIANT_TYPE("a(i(bi)siiii)"));
    for (const auto& [id, f] : s.stored)
        g_variant_builder_add(&stored, "(i(bi)siiii)", id, f.person.has_value(),
                              f.person.value_or(0), f.imagePath.c_str(), f.x, f.y, f.w, f.h);
    const MotionAnswers& a = c.answers;
    return g_variant_ref_sink(g_variant_new(
        kStateType, c.model ? c.model->c_str() : nullptr, &factory, c.cameraState, c.cameraQuery,
        c.faceVersion.has_value(), static_cast<double>(c.faceVersion.value_or(0.0f)), &hidden,
        &faces, a.brightness, a.twoHandValid, a.slapValid, a.thumbupValid, a.engineValid,
        c.faceDir.c_str(), &forced, s.nextMotionHandle, s.nextFaceHandle, s.nextFaceId, &stored,
        s.settingsPath.c_str()));
}

void Deserialize(GVariant* v, State& s) {
    gchar *model = nullptr, *faceDir = nullptr, *settingsPath = nullptr;
    GVariantIter *factory = nullptr, *hidden = nullptr, *faces = nullptr, *forced = nullptr,
                 *stored = nullptr;
    gboolean hasVersion = FALSE;
    double version = 0;
    Config c;
    MotionAnswers& a = c.answers;
    g_variant_get(v, kStateType, &model, &factory, &c.cameraState, &c.cameraQuery, &hasVersion,
                  &version, &hidden, &faces, &a.brightness, &a.twoHandValid, &a.slapValid,
                  &a.thumbupValid, &a.engineValid, &faceDir, &forced, &s.nextMotionHandle,
                  &s.nextFaceHandle, &s.nextFaceId, &stored, &settingsPath);
    c.model = model ? std::optional<std::string>(model) : std::nullopt;
    c.factory.clear();
    gint32 id = 0, value = 0;
    gboolean present = FALSE;
    while (g_variant_iter_next(factory, "{i(bi)}", &id, &present, &value))
        c.factory[id] = present ? std::optional<int>(value) : std::nullopt;
    c.faceVersion = hasVersion ? std::optional<float>(static_cast<float>(version)) : std::nullopt;
    gchar* text = nullptr;
    while (g_variant_iter_next(hidden, "s", &text)) {
        c.hidden.insert(text);
        g_free(text);
    }
    ViewFace f;
    while (g_variant_iter_next(faces, "(iiiii)", &f.person, &f.x, &f.y, &f.w, &f.h))
        c.faces.push_back(f);
    c.faceDir = faceDir;
    s.forced.clear();
    while (g_variant_iter_next(forced, "{si}", &text, &value)) {
        s.forced[text] = value;
        g_free(text);
    }
    s.stored.clear();
    StoredFace sf;
    while (g_variant_iter_next(stored, "(i(bi)siiii)", &sf.id, &present, &value, &text, &sf.x,
                               &sf.y, &sf.w, &sf.h)) {
        sf.person = present ? std::optional<int>(value) : std::nullopt;
        sf.imagePath = text;
        g_free(text);
        s.stored[sf.id] = sf;
    }
    s.settingsPath = settingsPath;
    s.cfg = std::move(c);
    for (GVariantIter* it : {factory, hidden, faces, forced, stored}) g_variant_iter_free(it);
    for (gchar* t : {model, faceDir, settingsPath}) g_free(t);
}

void LockSegment(Segment* seg) {
    // A process killed while it held the lock leaves a complete state behind (it publishes by
    // switching slots), so the lock is simply made usable again.
    if (pthread_mutex_lock(&seg->mutex) == EOWNERDEAD) pthread_mutex_consistent(&seg->mutex);
}

// Both with the segment locked and S().mu held.
void Load(Segment* seg) {
    uint32_t active = seg->active;
    GVariant* v = g_variant_ref_sink(g_variant_new_from_data(
        G_VARIANT_TYPE(kStateType), seg->slot[active], seg->length[active], FALSE, nullptr,
        nullptr));
    Deserialize(v, S());
    g_variant_unref(v);
    gGeneration = seg->generation;
}

void Store(Segment* seg) {
    GVariant* v = Serialize(S());
    size_t size = g_variant_get_size(v);
    if (size > kSlotBytes) {
        // The change stays in this process only; every other process keeps the last state.
        __dlog_print(LOG_ID_MAIN, 16, "GXSIM",
                     "the TV's state (%zu bytes) does not fit its shared segment (%zu bytes): "
                     "other processes do not see the last change",
                     size, kSlotBytes);
    } else {
        uint32_t next = 1 - seg->active;
        g_variant_store(v, seg->slot[next]);
        seg->length[next] = static_cast<uint32_t>(size);
        __atomic_store_n(&seg->active, next, __ATOMIC_RELEASE);
        __atomic_add_fetch(&seg->generation, 1, __ATOMIC_RELEASE);
    }
    gGeneration = seg->generation;
    g_variant_unref(v);
}

Segment* MapSegment(int fd, std::string* error) {
    void* p = mmap(nullptr, sizeof(Segment), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        if (error) *error = std::string("cannot map the TV's shared state: ") + strerror(errno);
        return nullptr;
    }
    return static_cast<Segment*>(p);
}

}  // namespace

void PullShared() {
    Segment* seg = Seg();
    if (!seg || __atomic_load_n(&seg->generation, __ATOMIC_ACQUIRE) == gGeneration) return;
    LockSegment(seg);
    Load(seg);
    pthread_mutex_unlock(&seg->mutex);
}

void EditSharedImpl(void (*edit)(void*), void* context) {
    Segment* seg = Seg();
    if (!seg) {
        edit(context);
        return;
    }
    LockSegment(seg);
    if (seg->generation != gGeneration) Load(seg);
    edit(context);
    Store(seg);
    pthread_mutex_unlock(&seg->mutex);
}

std::unique_lock<std::mutex> LockTv() {
    std::unique_lock<std::mutex> lk(S().mu);
    PullShared();
    return lk;
}

uint64_t NextTraceSeq() {
    Segment* seg = Seg();
    return seg ? __atomic_add_fetch(&seg->traceSeq, 1, __ATOMIC_RELAXED) : ++gLocalSeq;
}

int TvPid() {
    Segment* seg = Seg();
    return seg ? seg->creator : static_cast<int>(getpid());
}

void StoreHiddenMask(unsigned mask) {
    Segment* seg = Seg();
    __atomic_store_n(seg ? &seg->hiddenMask : &gLocalMask, mask, __ATOMIC_RELEASE);
}

// Called by the dynamic loader through the motion library's resolvers: a plain lock-free read,
// kept free of sanitizer instrumentation.
__attribute__((no_sanitize("address", "thread", "undefined"))) unsigned LoadHiddenMask() {
    Segment* seg = __atomic_load_n(&gSegment, __ATOMIC_ACQUIRE);
    return __atomic_load_n(seg ? &seg->hiddenMask : &gLocalMask, __ATOMIC_ACQUIRE);
}

}  // namespace gxsim::internal

namespace gxsim {
using namespace internal;

int ShareState(std::string* error) {
    if (Seg()) {
        if (error) *error = "the TV's state is shared already";
        return -1;
    }
    int fd = memfd_create("gxemp-tv", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, sizeof(Segment)) < 0) {
        if (error) *error = std::string("cannot make the TV's shared state: ") + strerror(errno);
        if (fd >= 0) close(fd);
        return -1;
    }
    Segment* seg = MapSegment(fd, error);
    if (!seg) {
        close(fd);
        return -1;
    }
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&seg->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    seg->creator = static_cast<int32_t>(getpid());
    std::lock_guard<std::mutex> lk(S().mu);
    seg->hiddenMask = __atomic_load_n(&gLocalMask, __ATOMIC_ACQUIRE);
    seg->traceSeq = gLocalSeq;
    Store(seg);
    seg->magic = kMagic;
    __atomic_store_n(&gSegment, seg, __ATOMIC_RELEASE);
    return fd;
}

bool JoinSharedState(int fd, std::string* error) {
    struct stat st {};
    if (Seg() || fstat(fd, &st) < 0 || static_cast<size_t>(st.st_size) != sizeof(Segment)) {
        if (error) *error = "not the TV's shared state";
        return false;
    }
    Segment* seg = MapSegment(fd, error);
    if (!seg) return false;
    if (seg->magic != kMagic) {
        munmap(seg, sizeof(Segment));
        if (error) *error = "not the TV's shared state";
        return false;
    }
    std::lock_guard<std::mutex> lk(S().mu);
    LockSegment(seg);
    Load(seg);
    pthread_mutex_unlock(&seg->mutex);
    __atomic_store_n(&gSegment, seg, __ATOMIC_RELEASE);
    return true;
}

}  // namespace gxsim
