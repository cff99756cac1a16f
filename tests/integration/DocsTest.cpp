// The documentation against the running service: every shell example in docs/*.md does what the
// page says when typed, and the published introspection data is what the service serves.
//
// An example is a line "    $ COMMAND" in an indented block, followed by the lines it prints
// (stdout and stderr); "…" in a printed line stands for any text, a line of "…" alone for any
// number of lines, and runs of blanks compare equal. A table cell holding "`$S ...`" or
// "`$H ...`" is an example that must succeed. The examples of one page run in order in one shell,
// against a service of their own, in a directory of their own that shows the project's
// scenarios/, Platform/ and examples/, and the build's programs as build/default/.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Client.h"
#include "Harness.h"

namespace itest {
namespace {

struct Example {
    int line;
    std::string command;
    std::vector<std::string> output;
    bool checkOutput;
};

std::vector<Example> ExamplesOf(const std::string& path) {
    std::ifstream in(path);
    std::vector<Example> out;
    bool inOutput = false;
    int n = 1;
    const std::regex cell("`(\\$[HS] [^`]*)`");
    for (std::string line; std::getline(in, line); ++n) {
        std::smatch m;
        bool example = line.rfind("    $ ", 0) == 0, indented = line.rfind("    ", 0) == 0;
        if (example)
            out.push_back({n, line.substr(6), {}, true});
        else if (inOutput && indented)
            out.back().output.push_back(line.substr(4));
        else if (line.rfind("|", 0) == 0 && std::regex_search(line, m, cell))
            out.push_back({n, m[1].str(), {}, false});
        inOutput = example || (inOutput && indented);
    }
    return out;
}

// A printed line against the documented one: "…" matches anything, blanks are blanks.
bool Matches(const std::string& doc, const std::string& got) {
    static const std::regex special(R"([\\^$.|?*+()\[\]{}])"), blanks(R"(\s+)"),
        ends(R"(^\s+|\s+$)");
    std::string pattern = std::regex_replace(std::regex_replace(doc, ends, ""), special, R"(\$&)");
    pattern = std::regex_replace(pattern, blanks, R"(\s+)");
    for (size_t at; (at = pattern.find("…")) != std::string::npos;) pattern.replace(at, 3, ".*");
    return std::regex_match(std::regex_replace(got, ends, ""), std::regex(pattern));
}

// The printed lines against the documented ones, "…" alone standing for any number of lines.
bool LinesMatch(const std::vector<std::string>& doc, size_t d, const std::vector<std::string>& got,
                size_t g) {
    if (d == doc.size()) return g == got.size();
    if (doc[d] == "…") {
        for (size_t skip = g; skip <= got.size(); ++skip)
            if (LinesMatch(doc, d + 1, got, skip)) return true;
        return false;
    }
    return g < got.size() && Matches(doc[d], got[g]) && LinesMatch(doc, d + 1, got, g + 1);
}

class DocsExampleTest : public ::testing::TestWithParam<const char*> {};

TEST_P(DocsExampleTest, EveryExampleWorksAsTyped) {
    std::string page = std::string(GXEMP_DOCS_DIR) + "/" + GetParam();
    std::vector<Example> examples = ExamplesOf(page);
    ASSERT_FALSE(examples.empty()) << page;
    Service service;
    TempDir cwd;
    // One shell runs them all; a marker before each example, and one with its status after it.
    std::string bin = GXEMPCTL_BIN;
    bin = bin.substr(0, bin.rfind('/'));
    std::string script = "cd " + cwd.path() + " && ln -s " + GXEMP_SOURCE_DIR + "/scenarios " +
                         GXEMP_SOURCE_DIR + "/Platform " + GXEMP_SOURCE_DIR +
                         "/examples . && mkdir build && ln -s " + bin +
                         " build/default || exit 1\n";
    for (size_t i = 0; i < examples.size(); ++i)
        script += "printf '\\036%zu\\n' " + std::to_string(i) + "\n{ " + examples[i].command +
                  "\n} 2>&1\nprintf '\\036=%d\\n' $?\n";
    std::string path = "PATH=" + bin + ":/usr/bin:/bin";
    ProcessResult run = RunProgram({"/usr/bin/timeout", "120", "/bin/bash", "-c", script},
                                   {"GXEMP_ADDRESS=" + service.address(), path});
    std::vector<std::vector<std::string>> printed(examples.size());
    std::vector<int> status(examples.size(), -1);
    std::istringstream lines(run.out);
    size_t current = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("\036=", 0) == 0)
            status[current] = std::stoi(line.substr(2));
        else if (line.rfind("\036", 0) == 0)
            current = std::stoul(line.substr(1));
        else
            printed[current].push_back(line);
    }
    for (size_t i = 0; i < examples.size(); ++i) {
        const Example& e = examples[i];
        std::string where =
            std::string(GetParam()) + ":" + std::to_string(e.line) + ": " + e.command;
        std::string got;
        for (const std::string& l : printed[i]) got += l + "\n";
        // A table cell must succeed; an example must print what the page shows.
        EXPECT_TRUE(e.checkOutput ? LinesMatch(e.output, 0, printed[i], 0) : status[i] == 0)
            << where << "\nstatus " << status[i] << ", printed:\n"
            << got;
    }
}

INSTANTIATE_TEST_SUITE_P(Pages, DocsExampleTest,
                         ::testing::Values("API.md", "CLIENT.md", "COMMANDS.md", "SCENARIOS.md",
                                           "SIMULATOR.md"),
                         [](const auto& info) { return TestName(info.param, 1); });

// docs/COMMANDS.md has a row for exactly the commands the plug-in serves: those the build reads
// from its command tables for the shell completion.
TEST(DocsTest, CommandReferenceListsEveryServedCommand) {
    std::smatch m;
    std::string completion = ReadFile(GXEMP_COMPLETION);
    ASSERT_TRUE(
        std::regex_search(completion, m, std::regex("_gxempctl_call_commands=\"([^\"]*)\"")));
    std::set<std::string> served;
    std::istringstream words(m[1].str());
    for (std::string w; words >> w;) served.insert(w);
    ASSERT_GT(served.size(), 50u);
    std::set<std::string> documented;
    std::istringstream page(ReadFile(std::string(GXEMP_DOCS_DIR) + "/COMMANDS.md"));
    const std::regex row("^\\| `([A-Za-z]+)` \\|");
    for (std::string line; std::getline(page, line);)
        if (std::regex_search(line, m, row)) {
            EXPECT_TRUE(documented.insert(m[1]).second) << m[1] << " has two rows";
        }
    std::string missing, extra;
    for (const std::string& c : served)
        if (!documented.count(c)) missing += " " + c;
    for (const std::string& c : documented)
        if (!served.count(c)) extra += " " + c;
    EXPECT_EQ(missing, "") << "served, without a row";
    EXPECT_EQ(extra, "") << "a row, not served";
}

// The methods, signals, properties and arguments in docs/*.xml are those the service serves.
TEST(DocsTest, IntrospectionXmlMatchesTheService) {
    Service service;
    auto elements = [](const std::string& xml) {  // each with its blanks normalised
        const std::regex element("<(method|signal|property|arg)[^>]*>");
        std::multiset<std::string> found;
        for (std::sregex_iterator it(xml.begin(), xml.end(), element), end; it != end; ++it)
            found.insert(
                std::regex_replace(std::regex_replace(it->str(), std::regex("\\s*/?>"), ">"),
                                   std::regex("\\s+"), " "));
        return found;
    };
    for (const char* object : {"Host1", "Simulator1"}) {
        ProcessResult live =
            RunProgram({GDBUS_BIN, "introspect", "--xml", "--address", service.address(), "--dest",
                        "org.gxemp.Host1", "--object-path", std::string("/org/gxemp/") + object});
        ASSERT_EQ(live.status, 0) << live.err;
        size_t ours = live.out.find("<interface name=\"org.gxemp.");
        ASSERT_NE(ours, std::string::npos);
        EXPECT_EQ(elements(ReadFile(std::string(GXEMP_DOCS_DIR) + "/org.gxemp." + object + ".xml")),
                  elements(live.out.substr(ours, live.out.find("</interface>", ours) - ours)))
            << object;
    }
}

// Every call the client library builds has the arguments the published interfaces declare for its
// method, so that gxempctl, the tests and the benchmarks cannot send what the service refuses.
TEST(DocsTest, ClientCallsHaveTheDeclaredArguments) {
    using namespace gxclient;
    Service service;
    gxhost::BusRef bus;
    ASSERT_GE(Connect(service.address(), true, &bus), 0);
    const FaceRecord record{{"id", 1}, {"image_path", std::string("/f.png")}};
    const Request calls[] = {OpenEngine("app"),
                             Execute(1, {"Cmd", "a"}),
                             CloseEngine(1),
                             EmitGesture(1005, "t"),
                             EmitGesture(1005, std::nullopt),
                             EmitFace(0, record),
                             EmitFace(0, std::nullopt),
                             InvokeMotionCallback(1, 2, "t"),
                             InvokeMotionCallback(1, 2, std::nullopt),
                             InvokeFaceCallback(1, 2, record),
                             InvokeFaceCallback(1, 2, std::nullopt),
                             SetFacesInView({{1, 2, 3, 4, 5}}),
                             SetCamera(1),
                             SetCameraQueryResult(0),
                             GetSetting("k"),
                             SetSetting("k", 1),
                             LoadProfile("/p.ini"),
                             SetModel("m"),
                             SetFactoryItem(1, 2),
                             SetFactoryItem(1, std::nullopt),
                             ForceResult("gx_e", 1),
                             ClearForcedResult("gx_e"),
                             ClearForcedResult(std::nullopt),
                             SetHiddenMotionEntryPoints({"gx_e"}),
                             SetNextHandle(false, 7),
                             SetNextHandle(true, 7),
                             SetFaceVersion(1.5),
                             SetFaceVersion(std::nullopt),
                             Simulator("Drain")};
    const std::regex arg("<arg type=\"([^\"]+)\"[^>]*direction=\"in\"");
    for (const Request& call : calls) {
        std::string xml = ReadFile(std::string(GXEMP_DOCS_DIR) + "/" + call.interface + ".xml");
        size_t at = xml.find("<method name=\"" + std::string(call.method) + "\">");
        ASSERT_NE(at, std::string::npos) << call.method << " is not declared";
        std::string method = xml.substr(at, xml.find("</method>", at) - at), declared;
        for (std::sregex_iterator it(method.begin(), method.end(), arg), end; it != end; ++it)
            declared += (*it)[1].str();
        gxhost::MessageRef m;
        ASSERT_GE(Build(bus.get(), call, &m), 0) << call.method;
        EXPECT_EQ(std::string(sd_bus_message_get_signature(m.get(), 1)), declared) << call.method;
    }
}

}  // namespace
}  // namespace itest
