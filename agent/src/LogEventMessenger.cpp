#include "agent/LogEventMessenger.h"

#include "core/LogWriter.h"

void CLogEventMessenger::Send(const SEventMessage& message) {
    std::string text;
    for (const std::string& a : message.arguments) {
        if (!text.empty()) text += ", ";
        text += a;
    }
    ZYLOG(-1, "Event 0x%08X: %s", message.code, text.c_str());
}
