#include "Browser.h"

#include <glib.h>
#include <unistd.h>

#include "Json.h"
#include "Process.h"

namespace itest {

Browser::Browser(const std::string& chromium) {
    m_Chrome = std::make_unique<gxtest::Child>(std::vector<std::string>{
        "/bin/sh", "-c", "exec \"$@\" 3<&0 4>&1 >/dev/null 2>&1", "sh", chromium, "--headless",
        "--disable-gpu", "--no-first-run", "--disable-sync", "--disable-background-networking",
        "--disable-component-update", "--disable-quic", "--window-size=1280,720",
        "--remote-debugging-pipe", "--user-data-dir=" + m_Profile.path(),
        geteuid() == 0 ? "--no-sandbox" : "--", "about:blank"});
}

Browser::~Browser() {
    if (m_Chrome) Close();
}

bool Browser::Available(const std::string& chromium) {
    return access(chromium.c_str(), X_OK) == 0;
}

Json::Value Browser::Send(const char* method, const Json::Value& params,
                          const std::string& session) {
    Json::Value m;
    m["id"] = 1;  // one call at a time: the answer is the next message with an id
    m["method"] = method;
    m["params"] = params;
    if (!session.empty()) m["sessionId"] = session;
    m_Chrome->Write(Json::writeString(Json::StreamWriterBuilder(), m) + '\0');
    for (std::string line; m_Chrome->ReadLine(&line, 30000, '\0');)
        if (gxtest::ParseJson(line).isMember("id")) return gxtest::ParseJson(line);
    return Json::Value();
}

std::string Browser::Open(const std::string& url) {
    Json::Value target, attach, focus, go;
    target["url"] = "about:blank";
    attach["flatten"] = true;
    attach["targetId"] = Send("Target.createTarget", target)["result"]["targetId"];
    std::string session = Send("Target.attachToTarget", attach)["result"]["sessionId"].asString();
    // A headless page has no focus of its own: it is given one, as the TV's front page has.
    focus["enabled"] = true;
    Send("Emulation.setFocusEmulationEnabled", focus, session);
    go["url"] = url;
    Send("Page.navigate", go, session);
    return session;
}

Json::Value Browser::Await(const std::string& session, const std::string& expression) {
    Json::Value e, v;
    e["returnByValue"] = true;
    e["expression"] = expression;
    gxtest::WaitUntil(
        [&] {
            return !(v = Send("Runtime.evaluate", e, session)["result"]["result"]["value"])
                        .isNull();
        },
        20000);
    return v;
}

std::string Browser::Screenshot(const std::string& session) {
    gsize n = 0;
    guchar* png = g_base64_decode(
        Send("Page.captureScreenshot", Json::objectValue, session)["result"]["data"].asCString(),
        &n);
    std::string bytes(reinterpret_cast<const char*>(png), n);
    g_free(png);
    return bytes;
}

int Browser::Close() {
    Send("Browser.close", Json::objectValue);
    int status = m_Chrome->Wait();
    m_Chrome.reset();
    return status;
}

}  // namespace itest
