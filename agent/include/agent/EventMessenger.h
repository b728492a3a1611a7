// The agent's event interface: messages for the operator (a collect file that cannot be opened,
// a write to a closed file), identified by a code and carrying the values they name.
//
// The library sends through IEventMessenger::Current(): the log-backed messenger by default, or
// whatever a CScopedEventMessenger installed (the hosting process's own, a test's recorder).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SEventMessage {
    uint32_t code = 0;
    std::vector<std::string> arguments;
};

class IEventMessenger {
public:
    virtual ~IEventMessenger() = default;
    // Sending never fails the caller: an event that cannot be delivered is logged and dropped.
    // Called from any thread.
    virtual void Send(const SEventMessage& message) = 0;

    // The messenger installed now (never null).
    static IEventMessenger* Current();
    // Shorthand for Current()->Send.
    static void SendEvent(uint32_t code, std::vector<std::string> arguments);
};

// Installs a messenger for the life of the scope and puts the previous one back. Not synchronised
// with events in flight: install before the threads start.
class CScopedEventMessenger {
public:
    explicit CScopedEventMessenger(IEventMessenger* messenger);
    ~CScopedEventMessenger();
    CScopedEventMessenger(const CScopedEventMessenger&) = delete;
    CScopedEventMessenger& operator=(const CScopedEventMessenger&) = delete;

private:
    IEventMessenger* m_previous;
};
