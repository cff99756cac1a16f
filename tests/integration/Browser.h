// Headless Chromium driven over its DevTools pipe, for the tests of the pages the service's tools
// serve.
#pragma once

#include <json/json.h>

#include <memory>
#include <string>

#include "Process.h"
#include "TempDir.h"

namespace itest {

// Headless Chromium driven over its DevTools pipe (NUL-terminated JSON on its descriptors 3 and
// 4), one call at a time. `Available()` is false where it is not installed.
class Browser {
public:
    explicit Browser(const std::string& chromium);
    ~Browser();
    static bool Available(const std::string& chromium);
    // Calls a DevTools method (in a page's session when `session` is given); null when the
    // browser is gone.
    Json::Value Send(const char* method, const Json::Value& params,
                     const std::string& session = "");
    // Opens `url` in a new page and returns its session.
    std::string Open(const std::string& url);
    // Evaluates `expression` in the page until it gives something but null (20 s at most).
    Json::Value Await(const std::string& session, const std::string& expression);
    // A PNG of the page.
    std::string Screenshot(const std::string& session);
    int Close();  // the browser's exit status

private:
    gxtest::TempDir m_Profile{"gxemp-browser"};
    std::unique_ptr<gxtest::Child> m_Chrome;
};

}  // namespace itest
