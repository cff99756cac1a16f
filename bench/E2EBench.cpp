// End-to-end benchmarks of the real gxemp service over its socket, each against baselines run in
// the same process at the same time: a raw unix-socket echo (the physical floor), a bare sd-bus
// peer-to-peer server and a bare GDBus one (bench/Bare*.cpp), and the service itself with
// every client in one process (--single-process) against a worker process per client.
//
//   gxemp_bench_e2e [--repeat N] [--quick] [SECTION...]
//
// Sections: roundtrip, events, footprint, startup (default: all). Every figure is the median of
// N rounds (default 3); in each round the servers are measured one after the other, so that
// whatever else the machine does weighs on all of them alike. Nothing here fails on a time: the
// program prints figures, ratios and whether each target was met, and exits 0 unless a server
// could not be driven at all.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "E2EBench.h"

namespace e2e {

Settings g_Set;

[[noreturn]] void Die(const std::string& what) {
    throw std::runtime_error(what);
}

void Check(int r, const char* what) {
    if (r < 0) Die(std::string(what) + ": " + std::strerror(-r));
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Percentile(std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    size_t i = static_cast<size_t>(p / 100.0 * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(i, sorted.size() - 1)];
}

// ---- Output ------------------------------------------------------------------------------------

namespace {
struct Row {
    std::string what;
    double value, baseline;  // baseline <= 0: no ratio
    std::string unit;
    std::string target;  // e.g. "<= 1.15x" or "< 1000 us"
    int verdict;         // 1 met, 0 missed, -1 no target
};

std::vector<Row> g_Rows;

}  // namespace

void AddRow(const std::string& what, double value, double baseline, const std::string& unit,
            const std::string& target, int verdict) {
    g_Rows.push_back({what, value, baseline, unit, target, verdict});
}

void PrintRows(const std::string& title) {
    std::printf("\n== %s (median of %d rounds)\n", title.c_str(), g_Set.repeat);
    std::printf("%-64s %10s %10s %7s  %s\n", "figure", "value", "baseline", "ratio", "target");
    for (const Row& r : g_Rows) {
        char ratio[32] = "";
        char base[32] = "";
        if (r.baseline > 0) {
            std::snprintf(ratio, sizeof ratio, "%.2fx", r.value / r.baseline);
            std::snprintf(base, sizeof base, "%.1f", r.baseline);
        }
        std::string target = r.target;
        if (r.verdict >= 0) target += r.verdict ? "  met" : "  MISSED";
        std::printf("%-64s %10.1f %10s %7s  %s\n", (r.what + " [" + r.unit + "]").c_str(), r.value,
                    base, ratio, target.c_str());
    }
    std::fflush(stdout);
    g_Rows.clear();
}

namespace {

// The sections asked for on the command line (all when none is); false on a bad argument.
bool ParseArguments(int argc, char** argv, std::set<std::string>* sections) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--repeat" && i + 1 < argc) {
            g_Set.repeat = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--quick") {
            g_Set.quick = true;
        } else if (a == "roundtrip" || a == "events" || a == "footprint" || a == "startup") {
            sections->insert(a);
        } else {
            std::fprintf(
                stderr,
                "usage: %s [--repeat N] [--quick] [roundtrip|events|footprint|startup]...\n",
                argv[0]);
            return false;
        }
    }
    if (g_Set.quick) {
        // Proves every path works; the figures mean nothing.
        g_Set.repeat = 1;
        g_Set.calls = 200;
        g_Set.flood1 = g_Set.flood8 = 200;
        g_Set.slowSeconds = 0.2;
        g_Set.fastSeconds = 0.1;
        g_Set.startups = 1;
    }
    if (sections->empty()) *sections = {"roundtrip", "events", "footprint", "startup"};
    return true;
}

}  // namespace
}  // namespace e2e

int main(int argc, char** argv) {
    using namespace e2e;
    std::set<std::string> sections;
    if (!ParseArguments(argc, argv, &sections)) return 2;
    signal(SIGPIPE, SIG_IGN);
    try {
        if (sections.count("roundtrip")) RoundTripSection();
        if (sections.count("events")) EventSection();
        if (sections.count("footprint")) FootprintSection();
        if (sections.count("startup")) StartupSection();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "gxemp_bench_e2e: %s\n", e.what());
        return 1;
    }
    return 0;
}
