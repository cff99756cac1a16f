// The documentation against the running service: every shell example in docs/*.md does what the
// page says when typed, and the published introspection data is what the service serves.
//
// An example is a line "    $ COMMAND" in an indented block, followed by the lines it prints
// (stdout and stderr); "…" in a printed line stands for any text, a line of "…" alone for any
// number of lines, and runs of blanks compare equal. A table cell holding "`$S ...`" or
// "`$H ...`" is an example that must succeed. The examples of one page run in order in one shell,
// against a service of their own, in a directory of their own that shows the project's
// scenarios/ and Platform/.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

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
    int n = 0;
    const std::regex cell("`(\\$[HS] [^`]*)`");
    for (std::string line; std::getline(in, line);) {
        ++n;
        std::smatch m;
        if (line.rfind("    $ ", 0) == 0) {
            out.push_back({n, line.substr(6), {}, true});
            inOutput = true;
        } else if (inOutput && line.rfind("    ", 0) == 0) {
            out.back().output.push_back(line.substr(4));
        } else if (line.rfind("|", 0) == 0 && std::regex_search(line, m, cell)) {
            out.push_back({n, m[1].str(), {}, false});
            inOutput = false;
        } else {
            inOutput = false;
        }
    }
    return out;
}

// A printed line against the documented one: "…" matches anything, blanks are blanks.
bool Matches(const std::string& doc, const std::string& got) {
    std::string pattern;
    for (size_t i = 0; i < doc.size(); ++i) {
        if (doc.compare(i, 3, "…") == 0) {
            pattern += ".*";
            i += 2;
        } else if (std::isspace(static_cast<unsigned char>(doc[i]))) {
            while (i + 1 < doc.size() && std::isspace(static_cast<unsigned char>(doc[i + 1]))) ++i;
            pattern += "\\s+";
        } else if (std::strchr("\\^$.|?*+()[]{}", doc[i]) != nullptr) {
            pattern += std::string("\\") + doc[i];
        } else {
            pattern += doc[i];
        }
    }
    std::string trimmed = std::regex_replace(got, std::regex("^\\s+|\\s+$"), "");
    std::string wanted = std::regex_replace(pattern, std::regex("^(\\\\s\\+)+|(\\\\s\\+)+$"), "");
    return std::regex_match(trimmed, std::regex(wanted));
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
    std::string script = "cd " + cwd.path() + " && ln -s " + GXEMP_SOURCE_DIR + "/scenarios " +
                         GXEMP_SOURCE_DIR + "/Platform . || exit 1\n";
    for (size_t i = 0; i < examples.size(); ++i)
        script += "printf '\\036%zu\\n' " + std::to_string(i) + "\n{ " + examples[i].command +
                  "\n} 2>&1\nprintf '\\036=%d\\n' $?\n";
    std::string bin = GXEMPCTL_BIN;
    std::string path = "PATH=" + bin.substr(0, bin.rfind('/')) + ":/usr/bin:/bin";
    ProcessResult run = RunProgram({"/usr/bin/timeout", "120", "/bin/bash", "-c", script}, "",
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
        if (!e.checkOutput) {
            EXPECT_EQ(status[i], 0) << where << "\n" << got;
            continue;
        }
        EXPECT_TRUE(LinesMatch(e.output, 0, printed[i], 0)) << where << "\nprinted:\n" << got;
    }
}

INSTANTIATE_TEST_SUITE_P(Pages, DocsExampleTest, ::testing::Values("API.md", "CLIENT.md", "SCENARIOS.md", "SIMULATOR.md"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             return name.substr(0, name.find('.'));
                         });

// Every method, signal, property and argument in docs/*.xml is what the service serves.
TEST(DocsTest, IntrospectionXmlMatchesTheService) {
    Service service;
    const std::regex element("<(method|signal|property|arg)[^>]*>");
    for (const char* object : {"Host1", "Simulator1"}) {
        ProcessResult live =
            RunProgram({GDBUS_BIN, "introspect", "--xml", "--address", service.address(), "--dest",
                        "org.gxemp.Host1", "--object-path", std::string("/org/gxemp/") + object});
        ASSERT_EQ(live.status, 0) << live.err;
        std::stringstream doc;
        doc << std::ifstream(std::string(GXEMP_DOCS_DIR) + "/org.gxemp." + object + ".xml").rdbuf();
        auto normalise = [](std::string s) {
            return std::regex_replace(std::regex_replace(s, std::regex("\\s*/?>"), ">"),
                                      std::regex("\\s+"), " ");
        };
        std::string liveText = normalise(live.out);
        std::string docText = doc.str();
        size_t count = 0, liveCount = 0;
        for (std::sregex_iterator it(docText.begin(), docText.end(), element), end; it != end;
             ++it, ++count)
            EXPECT_NE(liveText.find(normalise(it->str())), std::string::npos)
                << object << ": documented but not served: " << it->str();
        // ...and nothing of our interface is served without being documented.
        size_t ours = live.out.find("<interface name=\"org.gxemp.");
        ASSERT_NE(ours, std::string::npos);
        std::string liveOurs = live.out.substr(ours, live.out.find("</interface>", ours) - ours);
        for (std::sregex_iterator it(liveOurs.begin(), liveOurs.end(), element), end; it != end;
             ++it)
            ++liveCount;
        EXPECT_EQ(count, liveCount) << object;
    }
}

}  // namespace
}  // namespace itest
