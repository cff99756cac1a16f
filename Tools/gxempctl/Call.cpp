// gxempctl info, call, monitor: commands on an engine of the service, and its events (session:
// Session.cpp).
#include <errno.h>
#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "gxempctl.h"

namespace gxempctl {

int CmdInfo(std::vector<std::string>&) {
    Bus b;
    gxhost::MessageRef reply = Call(b, gxclient::GetInfo());
    Json::Value info(Json::objectValue);
    CheckRead(sd_bus_message_enter_container(reply.get(), 'v', "a{ss}"), "Info");
    CheckRead(sd_bus_message_enter_container(reply.get(), 'a', "{ss}"), "Info");
    const char *key = nullptr, *value = nullptr;
    int r;
    while ((r = sd_bus_message_read(reply.get(), "{ss}", &key, &value)) > 0) info[key] = value;
    CheckRead(r, "Info");
    std::cout << info.toStyledString();
    return kExitOk;
}

int CmdCall(std::vector<std::string>& args) {
    Bus b;
    std::string app = "gxempctl";
    bool json = false;
    while (!args.empty() && args[0].compare(0, 2, "--") == 0) {
        if (args[0] == "--json") {
            json = true;
            args.erase(args.begin());
        } else if (args[0] == "--app" && args.size() > 1) {
            app = args[1];
            args.erase(args.begin(), args.begin() + 2);
        } else if (args[0] == "--") {
            args.erase(args.begin());
            break;
        } else {
            Usage("unknown option for call: " + args[0]);
        }
    }
    if (args.empty()) Usage("call needs a COMMAND");
    if (args.size() > 5) Usage("a command takes at most four arguments");
    uint32_t engine = OpenEngine(b, app);
    Json::Value out(Json::objectValue);
    out["command"] = args[0];
    ReadExecuteReply(Call(b, gxclient::Execute(engine, args)).get(), &out);
    if (json) {
        PrintJson(out);
    } else {
        std::cout << "served: " << (out["served"].asBool() ? "yes" : "no") << "\n";
        if (out["result"].isInt())
            std::cout << "result: " << out["result"].asInt() << "\n";
        else if (out["result"].asString().empty())
            std::cout << "result: (none)\n";
        else
            std::cout << "result: " << out["result"].asString() << "\n";
    }
    CloseEngine(b, engine);
    // The call was sent as given (the plug-in decides); a name it does not know gets a hint.
    const std::vector<std::string>& known = PluginCommands();
    if (std::find(known.begin(), known.end(), args[0]) == known.end()) {
        std::string hint = DidYouMean(args[0], known);
        std::cerr << "gxempctl: the plug-in has no command '" << args[0] << "'"
                  << (hint.empty() ? "; gxempctl help call lists them" : hint) << "\n";
    }
    return out["served"].asBool() ? kExitOk : kExitNotServed;
}

Json::Value Execute(Bus& bus, uint32_t engine, const std::vector<std::string>& words) {
    Json::Value v(Json::objectValue);
    ReadExecuteReply(Call(bus, gxclient::Execute(engine, words)).get(), &v);
    return v;
}

Json::Value MotionSubscription() {
    Json::Value list(Json::arrayValue);
    for (const auto& e : MotionEvents()) {
        Json::Value item(Json::objectValue);
        item["itemType"] = e.first;
        list.append(item);
    }
    Json::Value root(Json::objectValue);
    root["motionEventList"] = list;
    return root;
}

Json::Value Subscribe(Bus& bus, uint32_t engine, const std::string& widget, bool motion,
                      bool face) {
    Json::Value done(Json::objectValue);
    if (motion) {
        done["widget"] = widget;
        done["motion"] = Execute(
            bus, engine, {"SetMotionSubscribeInfo", widget, JsonLine(MotionSubscription())});
    }
    if (face) {
        Json::Value init = Execute(bus, engine, {"InitializeFace"});
        done["face"] = Execute(bus, engine, {"SubscribeFaceEvent", widget});
        done["face"]["initialize"] = init;
    }
    return done;
}

bool ReadEvent(sd_bus_message* m, uint32_t engine, Json::Value* out) {
    gxclient::Event e;
    if (gxclient::ReadEvent(m, &e) < 0 || e.engine != engine) return false;
    (*out)["engine"] = e.engine;
    (*out)["code"] = e.code;
    (*out)["name"] = e.name;
    (*out)["data"] = e.data;
    return true;
}

int CmdMonitor(std::vector<std::string>& args) {
    Loop loop;
    std::string widget = "gxempctl";
    bool widgetGiven = false;
    bool motion = true, face = true;
    double timeout = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--widget" && i + 1 < args.size()) {
            widget = args[++i];
            widgetGiven = true;
        } else if (args[i] == "--no-motion") {
            motion = false;
        } else if (args[i] == "--no-face") {
            face = false;
        } else if (args[i] == "--count" && i + 1 < args.size()) {
            loop.countLeft = ParseIntIn(args[++i], "--count", 1, INT32_MAX);
        } else if (args[i] == "--timeout" && i + 1 < args.size()) {
            char* end = nullptr;
            timeout = std::strtod(args[++i].c_str(), &end);
            if (*end != '\0' || !(timeout > 0)) Usage("--timeout takes seconds above 0");
        } else if (args[i].compare(0, 1, "-") != 0 && !widgetGiven) {
            widget = args[i];  // `monitor WIDGET` is short for `monitor --widget WIDGET`
            widgetGiven = true;
        } else {
            Usage("unknown argument for monitor: " + args[i]);
        }
    }
    loop.Start();
    loop.engine = OpenEngine(loop.bus, "gxempctl-monitor");
    Json::Value ready = Subscribe(loop.bus, loop.engine, widget, motion, face);
    ready["type"] = "subscribed";
    ready["engine"] = loop.engine;
    PrintJson(ready);
    if (timeout > 0) loop.ExitAfter(timeout);
    sd_event_loop(loop.event.get());
    if (loop.exitCode == kExitUnreachable) return kExitUnreachable;
    return loop.countLeft > 0 ? kExitNotServed : kExitOk;
}

}  // namespace gxempctl
