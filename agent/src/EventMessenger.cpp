#include "agent/EventMessenger.h"

#include <atomic>

#include "agent/LogEventMessenger.h"

namespace {
std::atomic<IEventMessenger*> g_messenger{nullptr};
}

IEventMessenger* IEventMessenger::Current() {
    IEventMessenger* m = g_messenger.load(std::memory_order_acquire);
    if (m) return m;
    static CLogEventMessenger* fallback = new CLogEventMessenger();  // lives until the process ends
    return fallback;
}

void IEventMessenger::SendEvent(uint32_t code, std::vector<std::string> arguments) {
    SEventMessage message;
    message.code = code;
    message.arguments = std::move(arguments);
    Current()->Send(message);
}

CScopedEventMessenger::CScopedEventMessenger(IEventMessenger* messenger)
    : m_previous(g_messenger.exchange(messenger, std::memory_order_acq_rel)) {}

CScopedEventMessenger::~CScopedEventMessenger() { g_messenger.store(m_previous, std::memory_order_release); }
