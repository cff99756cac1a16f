// Every change of the TV's state, by name, as the process that owns the state applies it.
//
// A change arrives as a name and a GVariant of its arguments: from this process, or from a worker
// that could put anything there. So each change checks its arguments' type and limits before it
// touches the state, and refuses (with the limit named) rather than clip. Shared.cpp runs them
// and checks the size of the whole state afterwards.
#include <errno.h>
#include <unistd.h>

#include <cstring>
#include <map>

#include "SimState.h"

namespace gxsim::internal {

const char kConfigType[] = "(msa{i(bi)}ii(bd)asa(iiiii)(iiiii)s)";
const char kStateType[] = "((msa{i(bi)}ii(bd)asa(iiiii)(iiiii)s)a{si}iiia(i(bi)siiii)s)";

namespace {

// The config part travels as one value ("@"): see SerializeConfig.
constexpr char kStateFormat[] = "(@(msa{i(bi)}ii(bd)asa(iiiii)(iiiii)s)a{si}iiia(i(bi)siiii)s)";

// Where a worker writes a face image before the owner files it under its id.
constexpr char kIncomingPrefix[] = ".incoming-";

bool TextFits(Refusal* why, const char* what, const char* text) {
    size_t n = std::strlen(text);
    if (n <= kMaxTextBytes) return true;
    return Refuse(why, Refusal::TooLarge,
                  std::string(what) + " of " + std::to_string(n) + " bytes exceeds the limit of " +
                      std::to_string(kMaxTextBytes) + " bytes");
}

bool FacesFit(Refusal* why, size_t n) {
    if (n <= kMaxFacesInView) return true;
    return Refuse(why, Refusal::TooLarge,
                  std::to_string(n) + " faces in view exceed the limit of " +
                      std::to_string(kMaxFacesInView) + " faces");
}

bool KnownMotionEntries(Refusal* why, const std::set<std::string>& names) {
    const auto& all = MotionEntryPoints();
    for (const std::string& n : names) {
        bool known = false;
        for (const std::string& a : all) known = known || a == n;
        if (!known) return Refuse(why, Refusal::Invalid, "not every name is a motion entry point");
    }
    return true;
}

// A file a worker wrote for the owner to take: in the face image directory, under our prefix.
bool IsIncoming(const std::string& path) {
    std::string dir = FaceDirLocked() + "/" + kIncomingPrefix;
    return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
           path.find('/', dir.size()) == std::string::npos;
}

// Moves a written image into place: a rename, so nothing slow runs while the owner applies.
bool TakeImage(Refusal* why, const std::string& incoming, const std::string& path) {
    if (!IsIncoming(incoming))
        return Refuse(why, Refusal::Invalid, "not an image of the face image directory");
    if (rename(incoming.c_str(), path.c_str()) == 0) return true;
    return Refuse(why, Refusal::Invalid,
                  "cannot store the face image " + path + ": " + std::strerror(errno));
}

std::optional<int> Person(gboolean present, gint32 value) {
    return present ? std::optional<int>(value) : std::nullopt;
}

using Apply = bool (*)(State& s, GVariant* args, GVariant** result, Refusal* why);

struct Op {
    const char* type;
    Apply apply;
};

const std::map<std::string, Op>& Ops() {
    static const std::map<std::string, Op> ops = {
        {"model",
         {"ms",
          [](State& s, GVariant* a, GVariant**, Refusal* why) {
              GVariant* inner = g_variant_get_maybe(a);
              bool ok = true;
              if (inner == nullptr) {
                  s.cfg.model.reset();
              } else {
                  const char* text = g_variant_get_string(inner, nullptr);
                  ok = TextFits(why, "the model text", text);
                  if (ok) s.cfg.model = std::string(text);
                  g_variant_unref(inner);
              }
              return ok;
          }}},
        {"factory",
         {"(i(bi))",
          [](State& s, GVariant* a, GVariant**, Refusal*) {
              gint32 id = 0, value = 0;
              gboolean present = FALSE;
              g_variant_get(a, "(i(bi))", &id, &present, &value);
              s.cfg.factory[id] = Person(present, value);
              return true;
          }}},
        {"camera",
         {"i",
          [](State& s, GVariant* a, GVariant**, Refusal*) {
              s.cfg.cameraState = g_variant_get_int32(a);
              return true;
          }}},
        {"cameraQuery",
         {"i",
          [](State& s, GVariant* a, GVariant**, Refusal*) {
              s.cfg.cameraQuery = g_variant_get_int32(a);
              return true;
          }}},
        {"force",
         {"(si)",
          [](State& s, GVariant* a, GVariant**, Refusal* why) {
              const char* entry = nullptr;
              gint32 value = 0;
              g_variant_get(a, "(&si)", &entry, &value);
              if (!IsKnownEntry(entry))
                  return Refuse(why, Refusal::Invalid,
                                std::string("unknown library entry point '") + entry + "'");
              s.forced[entry] = value;
              return true;
          }}},
        {"unforce",
         {"s",
          [](State& s, GVariant* a, GVariant**, Refusal*) {
              s.forced.erase(g_variant_get_string(a, nullptr));
              return true;
          }}},
        {"unforceAll",
         {"()",
          [](State& s, GVariant*, GVariant**, Refusal*) {
              s.forced.clear();
              return true;
          }}},
        {"hidden",
         {"as",
          [](State& s, GVariant* a, GVariant**, Refusal* why) {
              std::set<std::string> names;
              GVariantIter it;
              const char* name = nullptr;
              g_variant_iter_init(&it, a);
              while (g_variant_iter_next(&it, "&s", &name)) names.insert(name);
              if (!KnownMotionEntries(why, names)) return false;
              s.cfg.hidden = names;
              PublishHiddenMask(names);
              return true;
          }}},
        {"nextMotionHandle",
         {"i",
          [](State& s, GVariant* a, GVariant**, Refusal*) {
              s.nextMotionHandle = g_variant_get_int32(a);
              return true;
          }}},
        {"nextFaceHandle",
         {"i",
          [](State& s, GVariant* a, GVariant**, Refusal*) {
              s.nextFaceHandle = g_variant_get_int32(a);
              return true;
          }}},
        // Handles are handed out here, one at a time, so that no two workers get the same one
        // unless a test forced it with nextMotionHandle / nextFaceHandle.
        {"takeMotionHandle",
         {"()",
          [](State& s, GVariant*, GVariant** r, Refusal*) {
              *r = g_variant_ref_sink(g_variant_new_int32(s.nextMotionHandle++));
              return true;
          }}},
        {"takeFaceHandle",
         {"()",
          [](State& s, GVariant*, GVariant** r, Refusal*) {
              *r = g_variant_ref_sink(g_variant_new_int32(s.nextFaceHandle++));
              return true;
          }}},
        {"answers",
         {"(iiiii)",
          [](State& s, GVariant* a, GVariant**, Refusal*) {
              MotionAnswers& m = s.cfg.answers;
              g_variant_get(a, "(iiiii)", &m.brightness, &m.twoHandValid, &m.slapValid,
                            &m.thumbupValid, &m.engineValid);
              return true;
          }}},
        {"faces",
         {"a(iiiii)",
          [](State& s, GVariant* a, GVariant**, Refusal* why) {
              if (!FacesFit(why, g_variant_n_children(a))) return false;
              std::vector<ViewFace> faces;
              GVariantIter it;
              ViewFace f;
              g_variant_iter_init(&it, a);
              while (g_variant_iter_next(&it, "(iiiii)", &f.person, &f.x, &f.y, &f.w, &f.h))
                  faces.push_back(f);
              s.cfg.faces = std::move(faces);
              return true;
          }}},
        {"faceVersion",
         {"(bd)",
          [](State& s, GVariant* a, GVariant**, Refusal*) {
              gboolean present = FALSE;
              double v = 0;
              g_variant_get(a, "(bd)", &present, &v);
              s.cfg.faceVersion =
                  present ? std::optional<float>(static_cast<float>(v)) : std::nullopt;
              return true;
          }}},
        {"faceDir",
         {"s",
          [](State& s, GVariant* a, GVariant**, Refusal* why) {
              const char* dir = g_variant_get_string(a, nullptr);
              if (!TextFits(why, "the face image directory", dir)) return false;
              s.cfg.faceDir = dir;
              return true;
          }}},
        {"settingsPath",
         {"s",
          [](State& s, GVariant* a, GVariant**, Refusal* why) {
              const char* path = g_variant_get_string(a, nullptr);
              if (!TextFits(why, "the settings path", path)) return false;
              s.settingsPath = path;
              return true;
          }}},
        {"reset",
         {"()",
          [](State&, GVariant*, GVariant**, Refusal*) {
              ResetTvState(false);
              return true;
          }}},
        {"resetKeepingInstances",
         {"()",
          [](State&, GVariant*, GVariant**, Refusal*) {
              ResetTvState(true);
              return true;
          }}},
        {"profile",
         {"((msa{i(bi)}ii(bd)asa(iiiii)(iiiii)s)(bs))",
          [](State& s, GVariant* a, GVariant**, Refusal* why) {
              GVariant* config = g_variant_get_child_value(a, 0);
              Config c;
              DeserializeConfig(config, c);
              g_variant_unref(config);
              gboolean hasPath = FALSE;
              const char* path = nullptr;
              g_variant_get_child(a, 1, "(b&s)", &hasPath, &path);
              bool ok = FacesFit(why, c.faces.size()) && KnownMotionEntries(why, c.hidden) &&
                        (!c.model || TextFits(why, "the model text", c.model->c_str())) &&
                        TextFits(why, "the face image directory", c.faceDir.c_str()) &&
                        TextFits(why, "the settings path", path);
              if (!ok) return false;
              s.cfg = std::move(c);
              if (hasPath) s.settingsPath = path;
              PublishHiddenMask(s.cfg.hidden);
              return true;
          }}},
        // A trained face: the image a worker wrote goes under the next face id.
        {"storeFace",
         {"(s(bi)iiii)",
          [](State& s, GVariant* a, GVariant** r, Refusal* why) {
              const char* incoming = nullptr;
              gboolean present = FALSE;
              gint32 person = 0;
              StoredFace f;
              g_variant_get(a, "(&s(bi)iiii)", &incoming, &present, &person, &f.x, &f.y, &f.w,
                            &f.h);
              f.id = s.nextFaceId;
              f.person = Person(present, person);
              f.imagePath = FaceImagePath(f.id);
              if (!TakeImage(why, incoming, f.imagePath)) return false;
              ++s.nextFaceId;
              s.stored[f.id] = f;
              *r = g_variant_ref_sink(g_variant_new("(is)", f.id, f.imagePath.c_str()));
              return true;
          }}},
        // A stored face changed: its box, and (with an image written) its image and person.
        {"overwriteFace",
         {"(ib(iiii)bs(bi))",
          [](State& s, GVariant* a, GVariant**, Refusal* why) {
              gint32 id = 0, x = 0, y = 0, w = 0, h = 0, person = 0;
              gboolean hasBox = FALSE, hasImage = FALSE, present = FALSE;
              const char* incoming = nullptr;
              g_variant_get(a, "(ib(iiii)b&s(bi))", &id, &hasBox, &x, &y, &w, &h, &hasImage,
                            &incoming, &present, &person);
              auto it = s.stored.find(id);
              if (it == s.stored.end())
                  return Refuse(why, Refusal::Invalid, "no stored face " + std::to_string(id));
              StoredFace& f = it->second;
              if (hasImage && !TakeImage(why, incoming, f.imagePath)) return false;
              if (hasImage) f.person = Person(present, person);
              if (hasBox) {
                  f.x = x;
                  f.y = y;
                  f.w = w;
                  f.h = h;
              }
              return true;
          }}},
        {"eraseFace",
         {"i",
          [](State& s, GVariant* a, GVariant** r, Refusal*) {
              bool erased = s.stored.erase(g_variant_get_int32(a)) != 0;
              *r = g_variant_ref_sink(g_variant_new_boolean(erased));
              return true;
          }}},
        {"clearFaces",
         {"()",
          [](State& s, GVariant*, GVariant**, Refusal*) {
              s.stored.clear();
              return true;
          }}},
        // Nothing changes; the owner writes the whole state out again (a reader found the
        // segment damaged).
        {"republish", {"()", [](State&, GVariant*, GVariant**, Refusal*) { return true; }}},
    };
    return ops;
}

}  // namespace

bool Refuse(Refusal* why, Refusal::Kind kind, std::string message) {
    if (why) *why = Refusal{kind, std::move(message)};
    return false;
}

std::string FaceImagePath(int faceId) {
    return FaceDirLocked() + "/face-" + std::to_string(faceId) + ".pgm";
}

std::string IncomingImagePath() {
    static uint64_t next = 0;  // under SimState().mu
    return FaceDirLocked() + "/" + kIncomingPrefix + std::to_string(getpid()) + "-" +
           std::to_string(++next) + ".pgm";
}

bool TakesACounter(const std::string& op) {
    return op == "takeMotionHandle" || op == "takeFaceHandle";
}

bool ResetsTheState(const std::string& op) {
    return op == "reset" || op == "resetKeepingInstances";
}

bool ApplyOp(const std::string& op, GVariant* args, GVariant** result, Refusal* why) {
    auto it = Ops().find(op);
    if (it == Ops().end()) return Refuse(why, Refusal::Invalid, "unknown change '" + op + "'");
    if (!g_variant_is_of_type(args, G_VARIANT_TYPE(it->second.type)))
        return Refuse(why, Refusal::Invalid, "change '" + op + "' with arguments of a wrong type");
    return it->second.apply(SimState(), args, result, why);
}

GVariant* SerializeConfig(const Config& c) {
    GVariantBuilder factory, hidden, faces;
    g_variant_builder_init(&factory, G_VARIANT_TYPE("a{i(bi)}"));
    for (const auto& [id, value] : c.factory)
        g_variant_builder_add(&factory, "{i(bi)}", id, value.has_value(), value.value_or(0));
    g_variant_builder_init(&hidden, G_VARIANT_TYPE("as"));
    for (const std::string& name : c.hidden) g_variant_builder_add(&hidden, "s", name.c_str());
    g_variant_builder_init(&faces, G_VARIANT_TYPE("a(iiiii)"));
    for (const ViewFace& f : c.faces)
        g_variant_builder_add(&faces, "(iiiii)", f.person, f.x, f.y, f.w, f.h);
    const MotionAnswers& a = c.answers;
    return g_variant_new(kConfigType, c.model ? c.model->c_str() : nullptr, &factory, c.cameraState,
                         c.cameraQuery, c.faceVersion.has_value(),
                         static_cast<double>(c.faceVersion.value_or(0.0f)), &hidden, &faces,
                         a.brightness, a.twoHandValid, a.slapValid, a.thumbupValid, a.engineValid,
                         c.faceDir.c_str());
}

void DeserializeConfig(GVariant* v, Config& c) {
    gchar *model = nullptr, *faceDir = nullptr;
    GVariantIter *factory = nullptr, *hidden = nullptr, *faces = nullptr;
    gboolean hasVersion = FALSE;
    double version = 0;
    MotionAnswers& a = c.answers;
    g_variant_get(v, kConfigType, &model, &factory, &c.cameraState, &c.cameraQuery, &hasVersion,
                  &version, &hidden, &faces, &a.brightness, &a.twoHandValid, &a.slapValid,
                  &a.thumbupValid, &a.engineValid, &faceDir);
    c.model = model ? std::optional<std::string>(model) : std::nullopt;
    c.factory.clear();
    gint32 id = 0, value = 0;
    gboolean present = FALSE;
    while (g_variant_iter_next(factory, "{i(bi)}", &id, &present, &value))
        c.factory[id] = Person(present, value);
    c.faceVersion = hasVersion ? std::optional<float>(static_cast<float>(version)) : std::nullopt;
    c.hidden.clear();
    const gchar* text = nullptr;
    while (g_variant_iter_next(hidden, "&s", &text)) c.hidden.insert(text);
    c.faces.clear();
    ViewFace f;
    while (g_variant_iter_next(faces, "(iiiii)", &f.person, &f.x, &f.y, &f.w, &f.h))
        c.faces.push_back(f);
    c.faceDir = faceDir;
    for (GVariantIter* it : {factory, hidden, faces}) g_variant_iter_free(it);
    for (gchar* t : {model, faceDir}) g_free(t);
}

GVariant* SerializeTv(const State& s) {
    GVariantBuilder forced, stored;
    g_variant_builder_init(&forced, G_VARIANT_TYPE("a{si}"));
    for (const auto& [entry, value] : s.forced)
        g_variant_builder_add(&forced, "{si}", entry.c_str(), value);
    g_variant_builder_init(&stored, G_VARIANT_TYPE("a(i(bi)siiii)"));
    for (const auto& [id, f] : s.stored)
        g_variant_builder_add(&stored, "(i(bi)siiii)", id, f.person.has_value(),
                              f.person.value_or(0), f.imagePath.c_str(), f.x, f.y, f.w, f.h);
    return g_variant_ref_sink(g_variant_new(kStateFormat, SerializeConfig(s.cfg), &forced,
                                            s.nextMotionHandle, s.nextFaceHandle, s.nextFaceId,
                                            &stored, s.settingsPath.c_str()));
}

void DeserializeTv(GVariant* v, State& s) {
    GVariant* config = nullptr;
    GVariantIter *forced = nullptr, *stored = nullptr;
    gchar* settingsPath = nullptr;
    g_variant_get(v, kStateFormat, &config, &forced, &s.nextMotionHandle, &s.nextFaceHandle,
                  &s.nextFaceId, &stored, &settingsPath);
    DeserializeConfig(config, s.cfg);
    g_variant_unref(config);
    s.forced.clear();
    const gchar* text = nullptr;
    gint32 value = 0;
    gboolean present = FALSE;
    while (g_variant_iter_next(forced, "{&si}", &text, &value)) s.forced[text] = value;
    s.stored.clear();
    StoredFace sf;
    while (g_variant_iter_next(stored, "(i(bi)&siiii)", &sf.id, &present, &value, &text, &sf.x,
                               &sf.y, &sf.w, &sf.h)) {
        sf.person = Person(present, value);
        sf.imagePath = text;
        s.stored[sf.id] = sf;
    }
    s.settingsPath = settingsPath;
    g_variant_iter_free(forced);
    g_variant_iter_free(stored);
    g_free(settingsPath);
}

}  // namespace gxsim::internal
