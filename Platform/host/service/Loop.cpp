// The service's loop. See Loop.h.
#include "service/Loop.h"

#include <signal.h>

#include <cerrno>
#include <cstring>

#include "broker/Broker.h"
#include "service/HostLog.h"
#include "service/LogSetup.h"

namespace gxhost {

namespace {

// A flush is a write(2), which cost each command about 3 us when it came after every loop
// iteration. So while the loop is busy (a second flush within kFlushCoalesceUsec of the last)
// the post source rests, and a one-shot timer flushes what came meanwhile and wakes it again:
// lines still reach the log within kFlushCoalesceUsec. The timer does not make the post source
// run (it is re-enabled after the timer's dispatch marked the post sources), and an idle service
// never arms it, so it sleeps as long as before.
constexpr uint64_t kFlushCoalesceUsec = 10 * 1000;
// Log lines that library threads write without an event to wake the loop still reach the file
// within this.
constexpr uint64_t kFlushTimerUsec = 500 * 1000;

int OnPostFlush(sd_event_source* s, void* userdata) {
    auto* ctx = static_cast<ServiceContext*>(userdata);
    uint64_t now = 0;
    sd_event_now(sd_event_source_get_event(s), CLOCK_MONOTONIC, &now);
    FlushLogs();
    bool busy = now - ctx->lastFlush < kFlushCoalesceUsec;
    ctx->lastFlush = now;
    if (!busy) return 0;
    sd_event_source_set_enabled(s, SD_EVENT_OFF);
    sd_event_source_set_time_relative(ctx->flushRearm.get(), kFlushCoalesceUsec);
    return sd_event_source_set_enabled(ctx->flushRearm.get(), SD_EVENT_ONESHOT);
}

int OnFlushRearm(sd_event_source*, uint64_t, void* userdata) {
    FlushLogs();
    return sd_event_source_set_enabled(static_cast<ServiceContext*>(userdata)->flushPost.get(),
                                       SD_EVENT_ON);
}

int OnFlushTimer(sd_event_source* s, uint64_t usec, void*) {
    FlushLogs();
    sd_event_source_set_time(s, usec + kFlushTimerUsec);
    return sd_event_source_set_enabled(s, SD_EVENT_ON);
}

int OnStopSignal(sd_event_source* s, const struct signalfd_siginfo* si, void* userdata) {
    auto* ctx = static_cast<ServiceContext*>(userdata);
    HostLog(kLogInfo, "signal %u: stopping", si->ssi_signo);
    sd_event* event = sd_event_source_get_event(s);
    if (ctx->broker != nullptr)
        ctx->broker->Stop([event] { sd_event_exit(event, 0); });
    else
        sd_event_exit(event, 0);
    return 0;
}

int OnHangUp(sd_event_source*, const struct signalfd_siginfo*, void* userdata) {
    auto* ctx = static_cast<ServiceContext*>(userdata);
    ReopenLog(*ctx);
    if (ctx->broker != nullptr) ctx->broker->Signal(SIGHUP);
    return 0;
}

int OnWatchedMessage(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* ctx = static_cast<ServiceContext*>(userdata);
    if (sd_bus_message_is_signal(m, "org.freedesktop.DBus.Local", "Disconnected") <= 0) return 0;
    HostLog(kLogError, "%s went away: stopping", ctx->goneWhat);
    sd_event_exit(ctx->event.get(), ctx->goneStatus);
    return 1;
}

int AddSignals(ServiceContext* ctx) {
    const std::pair<int, sd_event_signal_handler_t> kHandled[] = {
        {SIGINT, &OnStopSignal}, {SIGTERM, &OnStopSignal}, {SIGHUP, &OnHangUp}};
    for (const auto& [sig, handler] : kHandled) {
        EventSourceRef source;
        int r = sd_event_add_signal(ctx->event.get(), source.out(), sig, handler, ctx);
        if (r < 0) return r;
        ctx->signalSources.push_back(std::move(source));
    }
    return 0;
}

int AddFlushSources(ServiceContext* ctx) {
    sd_event* event = ctx->event.get();
    int r = sd_event_add_post(event, ctx->flushPost.out(), &OnPostFlush, ctx);
    if (r >= 0)
        r = sd_event_add_time_relative(event, ctx->flushRearm.out(), CLOCK_MONOTONIC,
                                       kFlushCoalesceUsec, 1000, &OnFlushRearm, ctx);
    if (r >= 0) r = sd_event_source_set_enabled(ctx->flushRearm.get(), SD_EVENT_OFF);
    if (r >= 0)
        r = sd_event_add_time_relative(event, ctx->flushTimer.out(), CLOCK_MONOTONIC,
                                       kFlushTimerUsec, 100 * 1000, &OnFlushTimer, ctx);
    return r;
}

}  // namespace

bool MakeLoop(ServiceContext* ctx, bool reapChildren) {
    sigset_t mask;
    sigemptyset(&mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&mask, sig);
    if (reapChildren) sigaddset(&mask, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int r = sd_event_new(ctx->event.out());
    if (r < 0) return Fail(*ctx, std::string("cannot create the event loop: ") + std::strerror(-r));
    r = AddSignals(ctx);
    if (r < 0) return Fail(*ctx, std::string("cannot handle signals: ") + std::strerror(-r));
    r = AddFlushSources(ctx);
    if (r < 0) return Fail(*ctx, std::string("cannot flush the log: ") + std::strerror(-r));
    return true;
}

int RunLoopUnder(sd_event* event, LoopLock* lock) {
    if (lock == nullptr) return sd_event_loop(event);
    std::unique_lock<LoopLock> held(*lock);
    lock->running = true;
    int r = 0;
    while (r >= 0 && sd_event_get_state(event) != SD_EVENT_FINISHED) {
        r = sd_event_prepare(event);
        if (r == 0) {
            held.unlock();
            r = sd_event_wait(event, UINT64_MAX);
            held.lock();
        }
        if (r > 0) r = sd_event_dispatch(event);
    }
    lock->running = false;
    if (r < 0) return r;
    int code = 0;
    r = sd_event_get_exit_code(event, &code);
    return r < 0 ? r : code;
}

bool StartExtensions(const ServiceContext& ctx, Role role, const std::vector<int>& fds) {
    const auto& exts = Extensions();
    for (size_t i = 0; i < exts.size(); ++i) {
        std::string error;
        if (!exts[i]->Start(role, i < fds.size() ? fds[i] : -1, &error)) return Fail(ctx, error);
    }
    return true;
}

int StopWhenGone(ServiceContext* ctx, sd_bus* bus, const char* what, int status) {
    ctx->goneWhat = what;
    ctx->goneStatus = status;
    return sd_bus_add_filter(bus, nullptr, &OnWatchedMessage, ctx);
}

void StopExtensions() {
    for (Extension* ext : Extensions()) ext->Stop();
}

}  // namespace gxhost
