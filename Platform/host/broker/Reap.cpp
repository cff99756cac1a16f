// The broker sees its workers end: their child sources, and a waitpid sweep. See Broker.h.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "Broker.h"
#include "bus/FirstMessageGuard.h"
#include "gxhost/Extension.h"
#include "service/HostLog.h"

namespace gxhost {

namespace {

std::string DescribeEnd(bool exited, int value, bool dumped) {
    if (exited) return "exited with status " + std::to_string(value);
    std::string how =
        "was killed by signal " + std::to_string(value) + " (" + strsignal(value) + ")";
    if (dumped) how += ", core dumped";
    return how;
}

}  // namespace

int Broker::OnChild(sd_event_source*, const siginfo_t* si, void* userdata) {
    auto* worker = static_cast<Worker*>(userdata);
    worker->broker->Ended(
        worker->pid, si->si_code == CLD_EXITED && si->si_status == 0,
        DescribeEnd(si->si_code == CLD_EXITED, si->si_status, si->si_code == CLD_DUMPED));
    return 0;
}

// The child sources can miss an end: a worker that a debugger held when it was killed is reported
// to the debugger, and to the broker only once the debugger has let it go, which the child source
// (waiting on the process's descriptor) does not look for again. So whatever child has ended is
// reaped here as well, on SIGCHLD and every kSweepUsec while workers run.
void Broker::Sweep() {
    for (;;) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid <= 0) break;
        Ended(pid, WIFEXITED(status) && WEXITSTATUS(status) == 0,
              DescribeEnd(WIFEXITED(status),
                          WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status),
                          WIFSIGNALED(status) && WCOREDUMP(status)));
    }
}

int Broker::OnChildSignal(sd_event_source*, const struct signalfd_siginfo*, void* userdata) {
    static_cast<Broker*>(userdata)->Sweep();
    return 0;
}

int Broker::OnSweepTimer(sd_event_source* s, uint64_t, void* userdata) {
    auto* self = static_cast<Broker*>(userdata);
    self->Sweep();
    sd_event_source_set_time_relative(s, kSweepUsec);
    return sd_event_source_set_enabled(s, self->m_Workers.empty() ? SD_EVENT_OFF : SD_EVENT_ON);
}

void Broker::Ended(pid_t pid, bool clean, const std::string& how) {
    if (pid == m_TemplatePid) {
        // Reaped by the sweep: there is nothing left to kill or wait for.
        m_TemplatePid = 0;
        HostLog(kLogError, "worker template %d %s (%s)", static_cast<int>(pid), how.c_str(),
                kUntilTemplate);
        DropTemplate(nullptr);
        RestartTemplateLater();
        return;
    }
    auto it = m_Workers.find(pid);
    if (it == m_Workers.end()) return;
    Worker& w = *it->second;
    bool spare = w.spare;
    if (spare)
        HostLog(clean && m_Stopping ? kLogInfo : kLogError, "spare worker %d %s",
                static_cast<int>(pid), how.c_str());
    else
        HostLog(clean ? kLogInfo : kLogError, "worker %d of client %s (pid %d) %s",
                static_cast<int>(pid), w.client.c_str(), static_cast<int>(w.clientPid),
                how.c_str());
    Forget(pid);
    if (spare && !m_Stopping) DelaySpares();
    MaybeDone();
}

void Broker::Forget(pid_t pid) {
    auto it = m_Workers.find(pid);
    if (it == m_Workers.end()) return;
    Worker& w = *it->second;
    // The worker's end can be seen before what it wrote on its link: read the link to its end
    // first, so that its last messages are handled and calls it never answered fail (with a
    // "connection terminated" error) rather than wait for ever. (Reply handlers on links return
    // 1, so that processing a closing link goes on to its next pending call.)
    while (w.control && sd_bus_process(w.control.get(), nullptr) > 0) {
    }
    if (w.ready)
        for (Extension* ext : Extensions()) ext->DetachControl(pid);
    w.child.reset();
    ClientGone(&w);
    if (w.spare) --m_Spares;
    m_Guard.Forget(w.control.get());
    m_Workers.erase(it);  // its hand-off socket, its first-message slot, then its link
}

}  // namespace gxhost
