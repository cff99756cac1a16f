// gxempctl sim entry-points, trace, motion-state, ring, stored-faces: what the simulated TV reports
// of the library calls and of its state, printed as lines or JSON lines.
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "Sim.h"
#include "gxempctl.h"
#include "gxsim/Wire.h"

namespace gxempctl {

int SimEntryPoints(Args&) {
    Bus b;
    gxhost::MessageRef reply = Call(b, gxclient::Simulator("MotionEntryPoints"));
    char** names = nullptr;
    CheckRead(sd_bus_message_read_strv(reply.get(), &names), "MotionEntryPoints");
    for (char** p = names; p && *p; ++p) {
        std::cout << *p << "\n";
        free(*p);
    }
    free(names);
    return kExitOk;
}

int SimTrace(Args& a) {
    Bus b;
    if (a.size() == 1 && a[0] == "clear") {
        Call(b, gxclient::Simulator("ClearTrace"));
        return kExitOk;
    }
    bool json = a.size() == 1 && a[0] == "--json";
    if (a.size() == 1 && !json) VerbUsage(kSimTable, "trace", "");
    gxhost::MessageRef reply = Call(b, gxclient::Simulator("Trace"));
    std::vector<gxsim::TraceEntry> calls;
    CheckRead(gxsim::wire::ReadTrace(reply.get(), &calls), "Trace");
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
        std::string line =
            std::to_string(call.seq) + " [" + std::to_string(call.pid) + "] " + call.function + "(";
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
    return kExitOk;
}

int SimMotionState(Args&) {
    Bus b;
    gxhost::MessageRef reply = Call(b, gxclient::Simulator("MotionStates"));
    sd_bus_message* m = reply.get();
    CheckRead(sd_bus_message_enter_container(m, 'a', gxsim::wire::kMotionState), "MotionStates");
    while (sd_bus_message_enter_container(m, 'r', gxsim::wire::kMotionStateFields) > 0) {
        uint32_t worker = 0;
        int32_t v[7] = {};
        CheckRead(sd_bus_message_read(m, "uiiiiiii", &worker, &v[0], &v[1], &v[2], &v[3], &v[4],
                                      &v[5], &v[6]),
                  "MotionStates");
        const void* data = nullptr;
        size_t size = 0;
        CheckRead(sd_bus_message_read_array(m, 'i', &data, &size), "MotionStates");
        CheckRead(sd_bus_message_exit_container(m), "MotionStates");
        Json::Value st(Json::objectValue);
        const char* keys[] = {"handle", "status", "enabled", "hint", "swipe", "zoom", "rotate"};
        st["worker"] = worker;
        for (int i = 0; i < 7; ++i) st[keys[i]] = v[i];
        st["subscribed"] = Json::Value(Json::arrayValue);
        for (size_t i = 0; i < size / sizeof(int32_t); ++i)
            st["subscribed"].append(static_cast<const int32_t*>(data)[i]);
        PrintJson(st);
    }
    return kExitOk;
}

int SimRing(Args&) {
    Bus b;
    gxhost::MessageRef reply = Call(b, gxclient::Simulator("SignalReaders"));
    sd_bus_message* m = reply.get();
    CheckRead(sd_bus_message_enter_container(m, 'a', "(uttt)"), "SignalReaders");
    uint32_t worker = 0;
    uint64_t lost[3] = {};
    while (sd_bus_message_read(m, "(uttt)", &worker, &lost[0], &lost[1], &lost[2]) > 0) {
        Json::Value r(Json::objectValue);
        r["worker"] = worker;
        r["overrun"] = Json::UInt64(lost[0]);
        r["skipped"] = Json::UInt64(lost[1]);
        r["torn"] = Json::UInt64(lost[2]);
        PrintJson(r);
    }
    return kExitOk;
}

int SimStoredFaces(Args&) {
    Bus b;
    gxhost::MessageRef reply = Call(b, gxclient::Simulator("StoredFaces"));
    CheckRead(sd_bus_message_enter_container(reply.get(), 'a', gxsim::wire::kStoredFace),
              "StoredFaces");
    int32_t id = 0, person = 0, x = 0, y = 0, w = 0, h = 0;
    int known = 0;
    const char* path = nullptr;
    while (sd_bus_message_read(reply.get(), gxsim::wire::kStoredFace, &id, &known, &person, &path,
                               &x, &y, &w, &h) > 0) {
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
    return kExitOk;
}

}  // namespace gxempctl
