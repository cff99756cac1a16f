// gxempctl log: the service's log as the service keeps it without --log (its file under
// $XDG_STATE_HOME/gxemp/, with the older part in gxemp.log.1), or a --log FILE; filtered by
// priority, tag and worker. Colour sequences of the plug-in's lines are shown on a terminal and
// stripped elsewhere; -f follows the file across its rotation.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "gxempctl.h"

namespace gxempctl {
namespace {

struct Filter {
    int minPriority = INT32_MIN;
    std::string tag;
    std::string worker;
    bool terminal = false;
};

std::string DefaultLogFile() {
    const char* state = getenv("XDG_STATE_HOME");
    const char* home = getenv("HOME");
    std::string dir = state != nullptr && state[0] == '/' ? std::string(state)
                      : home != nullptr                   ? std::string(home) + "/.local/state"
                                                          : std::string();
    return dir.empty() ? "" : dir + "/gxemp/gxemp.log";
}

int PriorityOf(const std::string& text) {
    static const std::pair<const char*, int> kNames[] = {
        {"trace", 2}, {"debug", 2}, {"info", 4}, {"notice", 5}, {"error", 16}};
    for (const auto& n : kNames)
        if (text == n.first) return n.second;
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        Usage("--priority takes a number or trace, info, notice, error; not '" + text + "'");
    return ParseIntIn(text, "--priority", 0, 1000);
}

void Show(const std::string& line, const Filter& f) {
    static const std::regex head(R"(^\[(-?\d+)\] ([^:]*): (\[worker (\d+)\] )?)");
    static const std::regex colour("\033\\[[0-9;]*m");
    std::smatch m;
    if (!std::regex_search(line, m, head)) {
        if (f.minPriority != INT32_MIN || !f.tag.empty() || !f.worker.empty()) return;
    } else if (std::stoi(m[1]) < f.minPriority || (!f.tag.empty() && m[2] != f.tag) ||
               (!f.worker.empty() && m[4] != f.worker)) {
        return;
    }
    if (!f.terminal) {
        std::cout << std::regex_replace(line, colour, "") << "\n";
    } else if (line.find('\033') != std::string::npos &&
               (line.size() < 4 || line.compare(line.size() - 4, 4, "\033[0m") != 0)) {
        // Some lines end before their colour's reset: the next one must not inherit it.
        std::cout << line << "\033[0m\n";
    } else {
        std::cout << line << "\n";
    }
}

// Shows the whole lines of `in` from where it stands; keeps a last partial line in *partial.
void ShowLines(FILE* in, std::string* partial, const Filter& f) {
    char buf[8192];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in)) > 0) {
        partial->append(buf, n);
        size_t start = 0;
        for (size_t nl; (nl = partial->find('\n', start)) != std::string::npos; start = nl + 1)
            Show(partial->substr(start, nl - start), f);
        partial->erase(0, start);
    }
    clearerr(in);
    std::cout.flush();
}

}  // namespace

int CmdLog(std::vector<std::string>& args) {
    Filter f;
    bool follow = false;
    std::string file;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-f" || args[i] == "--follow") {
            follow = true;
        } else if (args[i] == "--priority" && i + 1 < args.size()) {
            f.minPriority = PriorityOf(args[++i]);
        } else if (args[i] == "--tag" && i + 1 < args.size()) {
            f.tag = args[++i];
        } else if (args[i] == "--worker" && i + 1 < args.size()) {
            f.worker = std::to_string(ParseIntIn(args[++i], "--worker", 1, INT32_MAX));
        } else if (args[i] == "--file" && i + 1 < args.size()) {
            file = args[++i];
        } else {
            Usage("unknown argument for log: " + args[i]);
        }
    }
    f.terminal = isatty(STDOUT_FILENO) == 1;
    const bool ownFile = file.empty();
    if (ownFile) file = DefaultLogFile();
    FILE* in = file.empty() ? nullptr : fopen(file.c_str(), "re");
    if (in == nullptr)
        throw ServiceError{kExitNotServed,
                           "no log at " + (file.empty() ? std::string("$XDG_STATE_HOME") : file) +
                               " (a service started with --log FILE: gxempctl log --file FILE; "
                               "under systemd: journalctl --user -u gxemp)"};
    std::string partial;
    // The older part first, when the service keeps one.
    if (FILE* older = fopen((file + ".1").c_str(), "re"); ownFile && older != nullptr) {
        ShowLines(older, &partial, f);
        fclose(older);
        partial.clear();
    }
    ShowLines(in, &partial, f);
    // Following: the file grows, or is moved away (rotation) and a new one takes its name.
    while (follow) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ShowLines(in, &partial, f);
        struct stat open {
        }, named{};
        if (fstat(fileno(in), &open) == 0 && stat(file.c_str(), &named) == 0 &&
            open.st_ino != named.st_ino) {
            if (FILE* next = fopen(file.c_str(), "re")) {
                fclose(in);
                in = next;
                partial.clear();
            }
        }
    }
    fclose(in);
    return kExitOk;
}

}  // namespace gxempctl
