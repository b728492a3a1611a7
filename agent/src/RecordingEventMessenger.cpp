#include "agent/RecordingEventMessenger.h"

void CRecordingEventMessenger::Send(const SEventMessage& message) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.push_back(message);
}

std::vector<SEventMessage> CRecordingEventMessenger::Events() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
}

size_t CRecordingEventMessenger::Count(uint32_t code) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t n = 0;
    for (const SEventMessage& m : m_events)
        if (m.code == code) ++n;
    return n;
}

void CRecordingEventMessenger::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.clear();
}
