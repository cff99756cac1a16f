// gxempctl sim ...: the controls of the simulated TV (org.gxemp.Simulator1).
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "gxempctl.h"
#include "gxsim/Wire.h"

namespace gxempctl {

namespace {

int32_t MotionSignalOf(const std::string& name) {
    auto it = MotionEvents().find(name);
    if (it != MotionEvents().end()) return it->second;
    if (name == "EVENT_MOTION_START_ENGINE") return 1000;
    if (!name.empty() && (std::isdigit(static_cast<unsigned char>(name[0])) || name[0] == '-'))
        return ParseInt(name, "the signal");
    std::vector<std::string> names{"EVENT_MOTION_START_ENGINE"};
    for (const auto& e : MotionEvents()) names.push_back(e.first);
    std::sort(names.begin(), names.end());
    Usage("unknown motion event '" + name + "'" + DidYouMean(name, names) +
          "\nIt is a signal number or one of:\n" + WrapWords(names, 2, 79) +
          "(docs/COMMANDS.md: which signal each is)");
}

// FIELD=VALUE words of a face record, or --no-data. Returns nullopt for --no-data.
std::optional<std::vector<std::pair<std::string, std::string>>> FaceFields(
    const std::vector<std::string>& words) {
    if (words.size() == 1 && words[0] == "--no-data") return std::nullopt;
    std::vector<std::pair<std::string, std::string>> fields;
    for (const std::string& w : words) {
        size_t eq = w.find('=');
        if (eq == std::string::npos) Usage("a face record field is FIELD=VALUE, not '" + w + "'");
        std::string key = w.substr(0, eq), value = w.substr(eq + 1);
        if (key == "path") key = "image_path";
        if (key != "id" && key != "image_path" && key != "x" && key != "y" && key != "w" &&
            key != "h")
            Usage("unknown face record field '" + key + "' (id, path, x, y, w, h)");
        if (key != "image_path") ParseInt(value, key.c_str());
        fields.emplace_back(key, value);
    }
    return fields;
}

int AppendRecord(sd_bus_message* m, const std::vector<std::pair<std::string, std::string>>& f) {
    int r = sd_bus_message_open_container(m, 'a', "{sv}");
    for (const auto& kv : f) {
        if (r < 0) break;
        if (kv.first == "image_path")
            r = sd_bus_message_append(m, "{sv}", kv.first.c_str(), "s", kv.second.c_str());
        else
            r = sd_bus_message_append(m, "{sv}", kv.first.c_str(), "i",
                                      static_cast<int32_t>(std::atoi(kv.second.c_str())));
    }
    if (r >= 0) r = sd_bus_message_close_container(m);
    return r;
}

void Need(const std::vector<std::string>& a, size_t min, size_t max, const char* usage) {
    if (a.size() < min || a.size() > max) Usage(std::string("usage: gxempctl sim ") + usage);
}

}  // namespace

int CmdSim(std::vector<std::string>& args) {
    Bus b;
    if (args.empty()) Usage("sim needs a subcommand (see --help)");
    std::string sub = args[0];
    std::vector<std::string> a(args.begin() + 1, args.end());
    Reply reply;
    if (sub == "gesture" || sub == "motion-signal") {
        Need(a, 1, 2, "gesture EVENT|SIGNAL [TEXT]");
        int32_t signal = MotionSignalOf(a[0]);
        if (a.size() == 2)
            SimCall(
                b, "EmitMotionSignal",
                [&](sd_bus_message* m) {
                    return sd_bus_message_append(m, "is", signal, a[1].c_str());
                },
                &reply);
        else
            SimCall(
                b, "EmitMotionSignalWithoutData",
                [&](sd_bus_message* m) { return sd_bus_message_append(m, "i", signal); }, &reply);
        int32_t queued = 0;
        CheckRead(sd_bus_message_read(reply.m, "i", &queued), "EmitMotionSignal");
        SimCallNoArgs(b, "Drain");
        std::cout << "signal " << signal << " delivered to " << queued << " subscriber(s)\n";
    } else if (sub == "face-signal") {
        Need(a, 1, 7, "face-signal SIGNAL [--no-data | FIELD=VALUE...]");
        int32_t signal = ParseIntIn(a[0], "face signal", 0, 5);
        auto fields = FaceFields(std::vector<std::string>(a.begin() + 1, a.end()));
        if (fields)
            SimCall(
                b, "EmitFaceSignal",
                [&](sd_bus_message* m) {
                    int r = sd_bus_message_append(m, "i", signal);
                    return r < 0 ? r : AppendRecord(m, *fields);
                },
                &reply);
        else
            SimCall(
                b, "EmitFaceSignalWithoutData",
                [&](sd_bus_message* m) { return sd_bus_message_append(m, "i", signal); }, &reply);
        int32_t queued = 0;
        CheckRead(sd_bus_message_read(reply.m, "i", &queued), "EmitFaceSignal");
        SimCallNoArgs(b, "Drain");
        std::cout << "face signal " << signal << " delivered to " << queued << " subscriber(s)\n";
    } else if (sub == "motion-callback") {
        Need(a, 2, 3, "motion-callback HANDLE SIGNAL [TEXT]");
        int32_t handle = ParseInt(a[0], "the handle"), signal = ParseInt(a[1], "the signal");
        if (a.size() == 3)
            SimCall(
                b, "InvokeMotionCallback",
                [&](sd_bus_message* m) {
                    return sd_bus_message_append(m, "iis", handle, signal, a[2].c_str());
                },
                &reply);
        else
            SimCall(
                b, "InvokeMotionCallbackWithoutData",
                [&](sd_bus_message* m) { return sd_bus_message_append(m, "ii", handle, signal); },
                &reply);
        int called = 0;
        CheckRead(sd_bus_message_read(reply.m, "b", &called), "InvokeMotionCallback");
        SimCallNoArgs(b, "Drain");
        std::cout << (called ? "called\n" : "no motion callback is registered\n");
        return called ? kExitOk : kExitNotServed;
    } else if (sub == "face-callback") {
        Need(a, 2, 8, "face-callback HANDLE SIGNAL [--no-data | FIELD=VALUE...]");
        int32_t handle = ParseInt(a[0], "the handle"), signal = ParseInt(a[1], "the signal");
        auto fields = FaceFields(std::vector<std::string>(a.begin() + 2, a.end()));
        if (fields)
            SimCall(
                b, "InvokeFaceCallback",
                [&](sd_bus_message* m) {
                    int r = sd_bus_message_append(m, "ii", handle, signal);
                    return r < 0 ? r : AppendRecord(m, *fields);
                },
                &reply);
        else
            SimCall(
                b, "InvokeFaceCallbackWithoutData",
                [&](sd_bus_message* m) { return sd_bus_message_append(m, "ii", handle, signal); },
                &reply);
        int called = 0;
        CheckRead(sd_bus_message_read(reply.m, "b", &called), "InvokeFaceCallback");
        SimCallNoArgs(b, "Drain");
        std::cout << (called ? "called\n" : "no face callback is registered\n");
        return called ? kExitOk : kExitNotServed;
    } else if (sub == "faces") {
        struct Face {
            int32_t person, x, y, w, h;
        };
        std::vector<Face> faces;
        for (const std::string& f : a) {
            Face face{};
            char tail = 0;
            if (std::sscanf(f.c_str(), "%d:%d,%d,%d,%d%c", &face.person, &face.x, &face.y, &face.w,
                            &face.h, &tail) != 5)
                Usage("a face in view is PERSON:X,Y,W,H, not '" + f + "'");
            faces.push_back(face);
        }
        SimCall(
            b, "SetFacesInView",
            [&](sd_bus_message* m) {
                int r = sd_bus_message_open_container(m, 'a', "(iiiii)");
                for (const Face& f : faces)
                    if (r >= 0)
                        r = sd_bus_message_append(m, "(iiiii)", f.person, f.x, f.y, f.w, f.h);
                return r < 0 ? r : sd_bus_message_close_container(m);
            },
            &reply);
        std::cout << faces.size() << " face(s) in view\n";
    } else if (sub == "camera") {
        Need(a, 1, 2, "camera STATE [QUERY_RESULT]");
        int32_t state = ParseInt(a[0], "the camera state");
        std::optional<int32_t> rc;
        if (a.size() == 2) rc = ParseInt(a[1], "the query result");
        SimCall(
            b, "SetCameraState",
            [&](sd_bus_message* m) { return sd_bus_message_append(m, "i", state); }, &reply);
        if (rc) {
            Reply r2;
            SimCall(
                b, "SetCameraQueryResult",
                [&](sd_bus_message* m) { return sd_bus_message_append(m, "i", *rc); }, &r2);
        }
    } else if (sub == "model") {
        Need(a, 0, 1, "model [TEXT | --none]");
        if (a.empty()) {
            SimCall(
                b, "GetModel", [](sd_bus_message*) { return 0; }, &reply);
            int present = 0;
            const char* model = nullptr;
            CheckRead(sd_bus_message_read(reply.m, "bs", &present, &model), "GetModel");
            std::cout << (present ? model : "(none)") << "\n";
        } else if (a[0] == "--none") {
            SimCallNoArgs(b, "ClearModel");
        } else {
            SimCall(
                b, "SetModel",
                [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", a[0].c_str()); },
                &reply);
        }
    } else if (sub == "factory") {
        Need(a, 2, 2, "factory ID VALUE|fail");
        int32_t id = ParseInt(a[0], "the item id");
        if (a[1] == "fail") {
            SimCall(
                b, "SetFactoryItemFailing",
                [&](sd_bus_message* m) { return sd_bus_message_append(m, "i", id); }, &reply);
        } else {
            int32_t value = ParseInt(a[1], "the value");
            SimCall(
                b, "SetFactoryItem",
                [&](sd_bus_message* m) { return sd_bus_message_append(m, "ii", id, value); },
                &reply);
        }
    } else if (sub == "force") {
        if (!a.empty() && a[0] == "--clear") {
            Need(a, 1, 2, "force --clear [ENTRY]");
            if (a.size() == 2)
                SimCall(
                    b, "ClearForcedResult",
                    [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", a[1].c_str()); },
                    &reply);
            else
                SimCallNoArgs(b, "ClearForcedResults");
        } else {
            Need(a, 2, 2, "force ENTRY VALUE");
            int32_t value = ParseInt(a[1], "the value");
            SimCall(
                b, "ForceResult",
                [&](sd_bus_message* m) {
                    return sd_bus_message_append(m, "si", a[0].c_str(), value);
                },
                &reply);
        }
    } else if (sub == "hide") {
        SimCall(
            b, "SetHiddenMotionEntryPoints",
            [&](sd_bus_message* m) {
                int r = sd_bus_message_open_container(m, 'a', "s");
                for (const std::string& n : a)
                    if (r >= 0) r = sd_bus_message_append_basic(m, 's', n.c_str());
                return r < 0 ? r : sd_bus_message_close_container(m);
            },
            &reply);
    } else if (sub == "entry-points") {
        Need(a, 0, 0, "entry-points");
        SimCall(
            b, "MotionEntryPoints", [](sd_bus_message*) { return 0; }, &reply);
        char** names = nullptr;
        CheckRead(sd_bus_message_read_strv(reply.m, &names), "MotionEntryPoints");
        for (char** p = names; p && *p; ++p) {
            std::cout << *p << "\n";
            free(*p);
        }
        free(names);
    } else if (sub == "next-handle") {
        Need(a, 2, 2, "next-handle motion|face N");
        int32_t handle = ParseInt(a[1], "the handle");
        const char* method = a[0] == "motion" ? "SetNextMotionHandle"
                             : a[0] == "face" ? "SetNextFaceHandle"
                                              : nullptr;
        if (method == nullptr) Usage("next-handle takes 'motion' or 'face'");
        SimCall(
            b, method, [&](sd_bus_message* m) { return sd_bus_message_append(m, "i", handle); },
            &reply);
    } else if (sub == "face-version") {
        Need(a, 1, 1, "face-version VERSION|none");
        if (a[0] == "none") {
            SimCallNoArgs(b, "ClearFaceVersion");
        } else {
            char* end = nullptr;
            double v = std::strtod(a[0].c_str(), &end);
            if (a[0].empty() || *end != '\0') Usage("the face version must be a number");
            SimCall(
                b, "SetFaceVersion",
                [&](sd_bus_message* m) { return sd_bus_message_append(m, "d", v); }, &reply);
        }
    } else if (sub == "trace") {
        Need(a, 0, 1, "trace [--json] | trace clear");
        if (a.size() == 1 && a[0] == "clear") {
            SimCallNoArgs(b, "ClearTrace");
            return kExitOk;
        }
        bool json = a.size() == 1 && a[0] == "--json";
        if (a.size() == 1 && !json) Usage("usage: gxempctl sim trace [--json] | trace clear");
        SimCall(
            b, "Trace", [](sd_bus_message*) { return 0; }, &reply);
        std::vector<gxsim::TraceEntry> calls;
        CheckRead(gxsim::wire::ReadTrace(reply.m, &calls), "Trace");
        for (const gxsim::TraceEntry& call : calls) {
            if (gxsim::wire::IsOmissionNote(call)) {
                // The service's note that the reply left older calls out (it comes first).
                std::cerr << "gxempctl: sim trace: " << call.detail << "\n";
                continue;
            }
            Json::Value entry(Json::objectValue);
            entry["seq"] = static_cast<Json::UInt64>(call.seq);
            entry["worker"] = call.pid;
            entry["function"] = call.function;
            entry["args"] = Json::Value(Json::arrayValue);
            std::string line = std::to_string(call.seq) + " [" + std::to_string(call.pid) + "] " +
                               call.function + "(";
            for (size_t i = 0; i < call.args.size(); ++i) {
                entry["args"].append(call.args[i]);
                line += (i == 0 ? "" : ", ") + call.args[i];
            }
            entry["result"] = call.result;
            entry["detail"] = call.detail;
            line += ") = " + std::to_string(call.result);
            if (!call.detail.empty()) line += "  " + call.detail;
            if (json)
                PrintJson(entry);
            else
                std::cout << line << "\n";
        }
    } else if (sub == "motion-state") {
        Need(a, 0, 0, "motion-state");
        SimCall(
            b, "MotionStates", [](sd_bus_message*) { return 0; }, &reply);
        CheckRead(sd_bus_message_enter_container(reply.m, 'a', "(uiiiiiiiai)"), "MotionStates");
        while (sd_bus_message_enter_container(reply.m, 'r', "uiiiiiiiai") > 0) {
            uint32_t worker = 0;
            int32_t v[7] = {};
            CheckRead(sd_bus_message_read(reply.m, "uiiiiiii", &worker, &v[0], &v[1], &v[2], &v[3],
                                          &v[4], &v[5], &v[6]),
                      "MotionStates");
            const void* data = nullptr;
            size_t size = 0;
            CheckRead(sd_bus_message_read_array(reply.m, 'i', &data, &size), "MotionStates");
            CheckRead(sd_bus_message_exit_container(reply.m), "MotionStates");
            Json::Value st(Json::objectValue);
            const char* keys[] = {"handle", "status", "enabled", "hint", "swipe", "zoom", "rotate"};
            st["worker"] = worker;
            for (int i = 0; i < 7; ++i) st[keys[i]] = v[i];
            st["subscribed"] = Json::Value(Json::arrayValue);
            for (size_t i = 0; i < size / sizeof(int32_t); ++i)
                st["subscribed"].append(static_cast<const int32_t*>(data)[i]);
            PrintJson(st);
        }
    } else if (sub == "stored-faces") {
        Need(a, 0, 0, "stored-faces");
        SimCall(
            b, "StoredFaces", [](sd_bus_message*) { return 0; }, &reply);
        CheckRead(sd_bus_message_enter_container(reply.m, 'a', "(ibisiiii)"), "StoredFaces");
        int32_t id = 0, person = 0, x = 0, y = 0, w = 0, h = 0;
        int known = 0;
        const char* path = nullptr;
        while (sd_bus_message_read(reply.m, "(ibisiiii)", &id, &known, &person, &path, &x, &y, &w,
                                   &h) > 0) {
            Json::Value f(Json::objectValue);
            f["id"] = id;
            f["person"] = known ? Json::Value(person) : Json::Value();
            f["image_path"] = path;
            f["x"] = x;
            f["y"] = y;
            f["w"] = w;
            f["h"] = h;
            PrintJson(f);
        }
    } else if (sub == "settings") {
        if (!a.empty() && a[0] == "get") {
            Need(a, 2, 2, "settings get KEY");
            SimCall(
                b, "GetSetting",
                [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", a[1].c_str()); },
                &reply);
            int32_t value = 0;
            CheckRead(sd_bus_message_read(reply.m, "i", &value), "GetSetting");
            std::cout << value << "\n";
        } else if (!a.empty() && a[0] == "set") {
            Need(a, 3, 3, "settings set KEY VALUE");
            int32_t value = ParseInt(a[2], "the value");
            SimCall(
                b, "SetSetting",
                [&](sd_bus_message* m) {
                    return sd_bus_message_append(m, "si", a[1].c_str(), value);
                },
                &reply);
        } else if (!a.empty() && a[0] == "path") {
            Need(a, 1, 1, "settings path");
            SimCall(
                b, "GetSettingsPath", [](sd_bus_message*) { return 0; }, &reply);
            const char* path = nullptr;
            CheckRead(sd_bus_message_read(reply.m, "s", &path), "GetSettingsPath");
            std::cout << path << "\n";
        } else {
            Usage("usage: gxempctl sim settings get KEY | set KEY VALUE | path");
        }
    } else if (sub == "drain" || sub == "reset") {
        Need(a, 0, 0, sub == "drain" ? "drain" : "reset");
        SimCallNoArgs(b, sub == "drain" ? "Drain" : "Reset");
    } else if (sub == "profile") {
        Need(a, 1, 1, "profile FILE");
        char* abs = realpath(a[0].c_str(), nullptr);
        std::string path = abs != nullptr ? abs : a[0];
        free(abs);
        SimCall(
            b, "LoadProfile",
            [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", path.c_str()); }, &reply);
    } else {
        Usage("unknown sim subcommand '" + sub + "'");
    }
    return kExitOk;
}

}  // namespace gxempctl
