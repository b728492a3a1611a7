// The default event messenger of a process without a management server: each event becomes an
// error-level log line ("Event 0x%08X: arg, arg"), which the log always keeps.
#pragma once

#include "agent/EventMessenger.h"

class CLogEventMessenger : public IEventMessenger {
public:
    void Send(const SEventMessage& message) override;
};
