// gxempctl play's player (Player.h): sends each step at its time and matches the events that
// come back against the expectations.
#include "Player.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <variant>

namespace gxempctl {

uint64_t NowUsec() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000 + static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

double Seconds(uint64_t usec) {
    return static_cast<double>(usec) / 1e6;
}

namespace {

// Microseconds of a duration in seconds, capped far beyond any scenario (30 years) so that a huge
// time or a tiny --speed cannot overflow the clock.
uint64_t Usec(double seconds) {
    return static_cast<uint64_t>(std::llround(std::min(seconds * 1e6, 1e15)));
}

// The call that plays a step, by its kind.
gxclient::Request RequestOf(const step::Gesture& g, uint32_t) {
    return gxclient::EmitGesture(g.signal, g.data);
}
gxclient::Request RequestOf(const step::Face& f, uint32_t) {
    std::optional<gxclient::FaceRecord> record;
    if (f.record) {
        record.emplace();
        for (const std::string& key : f.record->getMemberNames()) {
            const Json::Value& v = (*f.record)[key];
            if (v.isString())
                record->push_back({key, v.asString()});
            else
                record->push_back({key, static_cast<int32_t>(v.asInt())});
        }
    }
    return gxclient::EmitFace(f.signal, record);
}
gxclient::Request RequestOf(const step::Faces& f, uint32_t) {
    return gxclient::SetFacesInView(f.faces);
}
gxclient::Request RequestOf(const step::Camera& c, uint32_t) {
    return gxclient::SetCamera(c.state);
}
gxclient::Request RequestOf(const step::Setting& s, uint32_t) {
    return gxclient::SetSetting(s.key, s.value);
}
gxclient::Request RequestOf(const step::Profile& p, uint32_t) {
    return gxclient::LoadProfile(p.path);
}
gxclient::Request RequestOf(const step::Command& c, uint32_t engine) {
    return gxclient::Execute(engine, c.words);
}

}  // namespace

uint64_t Player::Due(const Step& s) const {
    return m_Start + Usec(s.at / m_Options.speed);
}

int Player::Play() {
    sd_event_add_time(event.get(), m_StepTimer.out(), CLOCK_MONOTONIC, 0, 1, &Player::OnStepTimer,
                      this);
    sd_event_add_time(event.get(), m_DeadlineTimer.out(), CLOCK_MONOTONIC, 0, 1,
                      &Player::OnDeadline, this);
    sd_event_source_set_enabled(m_StepTimer.get(), SD_EVENT_OFF);
    sd_event_source_set_enabled(m_DeadlineTimer.get(), SD_EVENT_OFF);
    StartRun(0);
    Continue();
    // Not sd_event_loop: leaving it closes the connection, and the engine is closed after.
    while (!m_Finished && sd_event_get_state(event.get()) != SD_EVENT_FINISHED)
        if (sd_event_run(event.get(), UINT64_MAX) < 0) break;
    return exitCode;
}

void Player::StartRun(size_t run) {
    m_Run = run;
    m_Next = 0;
    m_Start = NowUsec();
}

// Sends every step that is due, then waits for the next one's time, a reply or the last
// expectations of the run; a finished run starts the next file (or loop).
void Player::Continue() {
    while (!m_Finished) {
        const std::vector<Step>& all = Current().steps;
        if (m_Next < all.size()) {
            const Step& s = all[m_Next];
            // An expectation sends nothing, so it need not wait for a reply.
            if (m_InFlight != nullptr && !s.As<step::ExpectEvent>()) return;
            uint64_t due = Due(s);
            if (due > NowUsec()) {
                sd_event_source_set_time(m_StepTimer.get(), due);
                sd_event_source_set_enabled(m_StepTimer.get(), SD_EVENT_ONESHOT);
                return;
            }
            ++m_Next;
            Send(s, due);
            continue;
        }
        if (m_InFlight != nullptr || !m_Waiting.empty()) return;
        if (m_Run + 1 == m_Scenarios.size() * static_cast<size_t>(m_Options.loops))
            return Finish(kExitOk);
        StartRun(m_Run + 1);
    }
}

void Player::Send(const Step& s, uint64_t due) {
    uint64_t now = NowUsec();
    Json::Value line = StepLine(s, m_Options, LoopIndex());
    line["time"] = Seconds(now - m_Start);
    // As text, a command is printed with its result and an expectation once it is met.
    if (m_Options.json)
        PrintJson(line);
    else if (s.OnSimulator())
        PrintText(Seconds(now - m_Start), StepText(s));
    ++steps;
    std::visit([&](const auto& kind) { Perform(s, kind, due); }, s.action);
}

void Player::Perform(const Step& s, const step::ExpectEvent& e, uint64_t due) {
    m_Waiting.push_back({&s, &e, due + Usec(e.within)});
    Match();
}

template <typename Kind>
void Player::Perform(const Step& s, const Kind& kind, uint64_t) {
    int r = gxclient::CallAsync(bus.bus.get(), RequestOf(kind, engine), &Player::OnReply, this,
                                &m_Pending);
    if (r < 0) {
        std::fprintf(stderr, "gxempctl: %s:%d: cannot send '%s': %s\n", s.file.c_str(), s.line,
                     s.key.c_str(), std::strerror(-r));
        return Finish(kExitUnreachable);
    }
    m_InFlight = &s;
}

int Player::OnReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<Player*>(userdata);
    const Step& s = *self->m_InFlight;
    self->m_Pending.reset();
    self->m_InFlight = nullptr;
    const sd_bus_error* error = sd_bus_message_get_error(m);
    if (error != nullptr) {
        std::string where = s.file + ":" + std::to_string(s.line) + ": '" + s.key + "': ";
        const auto* command = s.As<step::Command>();
        try {
            ThrowCallError(*error, -sd_bus_message_get_errno(m),
                           command != nullptr ? command->words[0] : s.key);
        } catch (const ServiceError& e) {
            std::fprintf(stderr, "gxempctl: %s%s\n", where.c_str(), e.message.c_str());
            self->Finish(e.code);
        }
        return 0;
    }
    std::visit([&](const auto& kind) { self->Replied(s, kind, m); }, s.action);
    if (!self->m_Finished) self->Continue();
    return 0;
}

// A command's result, printed and held against what the step expects.
void Player::Replied(const Step& s, const step::Command& c, sd_bus_message* m) {
    Json::Value v(Json::objectValue);
    v["type"] = "result";
    v["command"] = c.words[0];
    try {
        ReadExecuteReply(m, &v);
    } catch (const ServiceError& e) {
        std::fprintf(stderr, "gxempctl: %s\n", e.message.c_str());
        return Finish(e.code);
    }
    if (m_Options.json) {
        PrintJson(v);
    } else {
        std::string result =
            v["result"].isString() ? JsonLine(v["result"]) : v["result"].asString();
        PrintText(Seconds(NowUsec() - m_Start),
                  StepText(s) + "  -> " + (v["served"].asBool() ? "" : "not served, ") + result);
    }
    const Json::Value& want = c.expect;
    if (want.isNull()) return;
    Json::Value got(Json::objectValue);
    got["served"] = v["served"];
    got["result"] = v["result"];
    if ((want.isMember("served") && want["served"] != got["served"]) ||
        (want.isMember("result") && want["result"] != got["result"]))
        return Failed(s, want, got);
    ++expectations;
}

void Player::OnEngineEvent(Json::Value v) {
    v["time"] = Seconds(NowUsec() - m_Start);
    if (m_Options.json) PrintJson(v);
    m_Received.push_back({v["name"].asString(), v["data"].asString()});
    Match();
    Continue();
}

// Each waiting expectation, in step order, takes the first event after the one the expectation
// before it took: expected events must arrive in the order they are written.
void Player::Match() {
    while (!m_Waiting.empty() && !m_Finished) {
        const Json::Value& want = m_Waiting.front().want->expect;
        size_t i = m_Cursor;
        while (i < m_Received.size() &&
               (m_Received[i].name != want["name"].asString() ||
                (want.isMember("data") && !DataMatches(want["data"], m_Received[i].data))))
            ++i;
        if (i == m_Received.size()) break;
        m_Received[i].matched = true;
        m_Cursor = i + 1;
        if (!m_Options.json)
            PrintText(Seconds(NowUsec() - m_Start), StepText(*m_Waiting.front().step));
        m_Waiting.pop_front();
        ++expectations;
    }
    uint64_t first = UINT64_MAX;
    for (const Expectation& e : m_Waiting) first = std::min(first, e.deadline);
    sd_event_source_set_enabled(m_DeadlineTimer.get(), SD_EVENT_OFF);
    if (first != UINT64_MAX) {
        sd_event_source_set_time(m_DeadlineTimer.get(), first);
        sd_event_source_set_enabled(m_DeadlineTimer.get(), SD_EVENT_ONESHOT);
    }
}

int Player::OnStepTimer(sd_event_source*, uint64_t, void* userdata) {
    static_cast<Player*>(userdata)->Continue();
    return 0;
}

int Player::OnDeadline(sd_event_source*, uint64_t, void* userdata) {
    auto* self = static_cast<Player*>(userdata);
    uint64_t now = NowUsec();
    for (const Expectation& e : self->m_Waiting) {
        if (e.deadline > now) continue;
        Json::Value want = e.want->expect;
        want["within"] = e.want->within;
        // What came instead: the events no expectation took.
        Json::Value got(Json::arrayValue);
        for (const Received& r : self->m_Received) {
            if (r.matched) continue;
            Json::Value ev(Json::objectValue);
            ev["name"] = r.name;
            ev["data"] = r.data;
            got.append(ev);
        }
        self->Failed(*e.step, want, got);
        return 0;
    }
    self->Match();  // re-arms for the next deadline
    return 0;
}

void Player::Failed(const Step& s, const Json::Value& expected, const Json::Value& got) {
    Json::Value v(Json::objectValue);
    v["type"] = "failed";
    v["file"] = s.file;
    v["line"] = s.line;
    v["expected"] = expected;
    v["got"] = got;
    if (m_Options.json) PrintJson(v);
    std::string what = got.isArray() && got.empty() ? "no event" : JsonLine(got);
    std::fprintf(stderr, "gxempctl: %s:%d: '%s' failed: expected %s, got %s\n", s.file.c_str(),
                 s.line, s.key.c_str(), JsonLine(expected).c_str(), what.c_str());
    Finish(kExitExpectation);
}

void Player::Finish(int code) {
    if (m_Finished) return;
    m_Finished = true;
    exitCode = code;
}

}  // namespace gxempctl
