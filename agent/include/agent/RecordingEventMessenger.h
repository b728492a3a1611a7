// An event messenger that keeps every event, for tests that check which events were sent.
#pragma once

#include <mutex>
#include <vector>

#include "agent/EventMessenger.h"

class CRecordingEventMessenger : public IEventMessenger {
public:
    void Send(const SEventMessage& message) override;
    std::vector<SEventMessage> Events() const;
    // How many events with `code` were sent.
    size_t Count(uint32_t code) const;
    void Clear();

private:
    mutable std::mutex m_mutex;
    std::vector<SEventMessage> m_events;
};
