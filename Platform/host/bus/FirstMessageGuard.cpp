// See FirstMessageGuard.h.
#include "FirstMessageGuard.h"

#include <algorithm>

namespace gxhost {

FirstMessageGuard::FirstMessageGuard(sd_event* event) : m_Event(sd_event_ref(event)) {}

int FirstMessageGuard::Watch(sd_bus* bus) {
    // A post source costs a loop iteration after every dispatch: it is on only while a
    // connection is watched.
    if (!m_Post) {
        int r = sd_event_add_post(m_Event.get(), m_Post.out(), &FirstMessageGuard::OnPost, this);
        if (r < 0) return r;
    }
    m_Waiting.push_back({bus, false});
    return sd_event_source_set_enabled(m_Post.get(), SD_EVENT_ON);
}

void FirstMessageGuard::FirstMessageDispatched(sd_bus* bus) {
    for (Entry& e : m_Waiting)
        if (e.bus == bus) e.spoke = true;
}

void FirstMessageGuard::Forget(sd_bus* bus) {
    m_Waiting.erase(std::remove_if(m_Waiting.begin(), m_Waiting.end(),
                                   [bus](const Entry& e) { return e.bus == bus; }),
                    m_Waiting.end());
}

int FirstMessageGuard::OnPost(sd_event_source* s, void* userdata) {
    auto* self = static_cast<FirstMessageGuard*>(userdata);
    // Dispatching may Forget buses (never free them): walk a copy, and look each one up again.
    std::vector<sd_bus*> buses;
    for (const Entry& e : self->m_Waiting) buses.push_back(e.bus);
    for (sd_bus* bus : buses) {
        int r = 1;
        for (int i = 0; i < 64 && r > 0; ++i) r = sd_bus_process(bus, nullptr);
        auto it = std::find_if(self->m_Waiting.begin(), self->m_Waiting.end(),
                               [bus](const Entry& e) { return e.bus == bus; });
        if (it != self->m_Waiting.end() && (r < 0 || (r == 0 && it->spoke)))
            self->m_Waiting.erase(it);
    }
    if (self->m_Waiting.empty()) sd_event_source_set_enabled(s, SD_EVENT_OFF);
    return 0;
}

}  // namespace gxhost
