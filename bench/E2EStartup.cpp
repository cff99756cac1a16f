// Start-up: from fork and exec of a server to its first answers, and a further client's first.
#include <unistd.h>

#include <map>

#include "BenchSocket.h"
#include "E2EBench.h"

namespace e2e {

using gxbench::NowNs;

void StartupSection() {
    std::map<Kind, std::vector<double>> ping, open, client;
    const Kind kinds[] = {Kind::Sdbus, Kind::GxempSingle, Kind::Gxemp, Kind::GxempExec};
    for (int i = 0; i < g_Set.startups * g_Set.repeat; ++i) {
        for (Kind k : kinds) {
            Server server(k);
            server.Start();
            {
                gxtest::Client bus = Connect(server, false);
                bus.Ping();
                ping[k].push_back(static_cast<double>(NowNs() - server.started()) / 1e6);
                bus.Open("bench");
                open[k].push_back(static_cast<double>(NowNs() - server.started()) / 1e6);
            }
            // A further client of a running service: with a worker per client, this is the
            // spare worker that the first client's hand-off started (given time to get ready, as
            // it has between applications), or the start of its worker with --spare-workers 0.
            usleep(300000);
            uint64_t start = NowNs();
            gxtest::Client bus = Connect(server, true);
            bus.Ping();
            client[k].push_back(static_cast<double>(NowNs() - start) / 1e6);
        }
    }
    for (Kind k : {Kind::GxempSingle, Kind::Gxemp, Kind::GxempExec}) {
        double first = Median(ping[k]);
        AddRow(std::string(KindName(k)) + ": start to first call answered (Ping)", first,
               Median(ping[Kind::Sdbus]), "ms", "<= 20 ms", first <= 20);
        AddRow("  start to first engine served (Open)", Median(open[k]), Median(open[Kind::Sdbus]),
               "ms");
        AddRow("  a new client: connect to first answer", Median(client[k]),
               Median(client[Kind::Sdbus]), "ms");
    }
    PrintRows("Start-up (fork and exec to the reply; " +
              std::to_string(g_Set.startups * g_Set.repeat) + " starts each, median)");
}

}  // namespace e2e
