// The changes of the TV's state: applied here by the process that owns the state (or when nobody
// shares it), else sent to the owner through the transport, which applies them (ApplyEdit) and
// publishes the new state before it answers (see Shared.cpp).
#include <glib.h>

#include <atomic>

#include "SimState.h"

namespace gxsim::internal {
namespace {

// A change travels with its name and framing besides the state it may carry.
constexpr size_t kMaxRequestBytes = kMaxStateBytes + 4096;
constexpr char kRequestType[] = "(sv)";
constexpr char kAnswerType[] = "(usv)";  // 0 done, else Refusal::Kind + 1; message; result

std::atomic<EditTransport> gTransport{nullptr};

// Sends one change to the owner and reads its answer. SimState().mu held; no other lock.
bool Remote(EditTransport transport, const char* op, GVariant* args, GVariant** result,
            Refusal* why) {
    GVariant* request = g_variant_ref_sink(g_variant_new(kRequestType, op, args));
    size_t size = g_variant_get_size(request);
    if (size > kMaxRequestBytes) {
        g_variant_unref(request);
        return Refuse(why, Refusal::TooLarge,
                      "the change of " + std::to_string(size) + " bytes exceeds the limit of " +
                          std::to_string(kMaxRequestBytes) + " bytes");
    }
    std::string sent(static_cast<const char*>(g_variant_get_data(request)), size);
    g_variant_unref(request);
    std::string answer, error;
    if (!transport(sent, &answer, &error))
        return Refuse(why, Refusal::Unavailable, "the TV's owner did not answer: " + error);
    // Copied: the result handed out lives on after `answer`.
    GBytes* copy = g_bytes_new(answer.data(), answer.size());
    GVariant* a =
        g_variant_ref_sink(g_variant_new_from_bytes(G_VARIANT_TYPE(kAnswerType), copy, FALSE));
    g_bytes_unref(copy);
    guint32 kind = 0;
    const char* message = nullptr;
    GVariant* value = nullptr;
    g_variant_get(a, "(u&sv)", &kind, &message, &value);
    bool ok = kind == 0;
    if (!ok)
        Refuse(why,
               kind <= Refusal::Unavailable + 1u ? static_cast<Refusal::Kind>(kind - 1)
                                                 : Refusal::Invalid,
               message);
    if (ok && result) *result = g_variant_ref(value);
    g_variant_unref(value);
    g_variant_unref(a);
    // The owner published before it answered: the local copy catches up now.
    PullShared();
    return ok;
}

// Applies a change here (this process owns the state, or nobody shares it). Nothing of a refused
// change stays: the state is restored from before.
bool ApplyLocked(const std::string& op, GVariant* args, GVariant** result, Refusal* why) {
    State& s = SimState();
    if (TakesACounter(op) || (ResetsTheState(op) && !PublishesState())) {
        // Only this process reads the counters: a handle taken needs no copy of the state and no
        // publication (every join and every create would copy the whole state again). Nor does a
        // reset that nobody reads: it has nothing to restore or measure. The next change
        // serialises the state afresh. (Tests and fuzzers reset far more often than they change.)
        bool ok = ApplyOp(op, args, result, why);
        if (ok) KeepSerializedTv(nullptr);
        return ok;
    }
    GVariant* before = LastSerializedTv() ? g_variant_ref(LastSerializedTv()) : SerializeTv(s);
    GVariant* answer = nullptr;
    bool ok = ApplyOp(op, args, &answer, why);
    GVariant* after = ok ? SerializeTv(s) : nullptr;
    if (after && g_variant_get_size(after) > kMaxStateBytes) {
        ok = Refuse(why, Refusal::TooLarge,
                    "the TV's state would take " + std::to_string(g_variant_get_size(after)) +
                        " bytes, over the limit of " + std::to_string(kMaxStateBytes) + " bytes");
    }
    if (!ok) {
        DeserializeTv(before, s);
        PublishHiddenMask(s.cfg.hidden);
        if (answer) g_variant_unref(answer);
        if (after) g_variant_unref(after);
        g_variant_unref(before);
        return false;
    }
    g_variant_unref(before);
    KeepSerializedTv(after);
    PublishShared(after);
    if (result)
        *result = answer;
    else if (answer)
        g_variant_unref(answer);
    return true;
}

GVariant* Answer(guint32 kind, const std::string& message, GVariant* result) {
    return g_variant_ref_sink(
        g_variant_new(kAnswerType, kind, message.c_str(), result ? result : g_variant_new("()")));
}

}  // namespace

bool HasEditTransport() {
    return gTransport.load() != nullptr;
}

bool Edit(const char* op, GVariant* args, GVariant** result, Refusal* why) {
    GVariant* a = g_variant_ref_sink(args ? args : g_variant_new("()"));
    bool ok;
    EditTransport transport = gTransport.load();
    if (ReadsSharedState()) {
        ok = transport ? Remote(transport, op, a, result, why)
                       : Refuse(why, Refusal::Unavailable,
                                "the TV's state is another process's, and it cannot be reached");
    } else {
        ok = ApplyLocked(op, a, result, why);
    }
    g_variant_unref(a);
    return ok;
}

}  // namespace gxsim::internal

namespace gxsim {
using namespace internal;

void SetEditTransport(EditTransport transport) {
    gTransport.store(transport);
}

std::string ApplyEdit(const std::string& request) {
    // Copied so that the value is aligned and lives as long as we read it.
    GBytes* bytes = g_bytes_new(request.data(), request.size());
    GVariant* v =
        g_variant_ref_sink(g_variant_new_from_bytes(G_VARIANT_TYPE(kRequestType), bytes, FALSE));
    g_bytes_unref(bytes);
    GVariant* answer = nullptr;
    if (!g_variant_is_normal_form(v)) {
        answer = Answer(Refusal::Invalid + 1, "a change that does not parse", nullptr);
    } else {
        const char* op = nullptr;
        GVariant* args = nullptr;
        g_variant_get(v, "(&sv)", &op, &args);
        GVariant* result = nullptr;
        Refusal why;
        bool ok;
        {
            std::lock_guard<std::mutex> lk(SimState().mu);
            ok = ApplyLocked(op, args, &result, &why);
        }
        answer = ok ? Answer(0, "", result) : Answer(why.kind + 1u, why.message, nullptr);
        if (result) g_variant_unref(result);
        g_variant_unref(args);
    }
    g_variant_unref(v);
    std::string out(static_cast<const char*>(g_variant_get_data(answer)),
                    g_variant_get_size(answer));
    g_variant_unref(answer);
    return out;
}

}  // namespace gxsim
