// Stand-in for the agent's event interface: how the library tells the operator about something
// that went wrong outside the job's own result (a write that failed on an output file, say).
//
// Three implementations: one that appends each event as a line to "Events.txt" in a folder (the
// job-results folder), one that writes it to the log, and one that records events in memory for
// tests. The process has one current interface, the log one unless another is installed.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/KoError.h"

// One event: the agent's event id and its arguments (file names and the like).
struct SAgentEvent {
    uint32_t eventId = 0;
    std::vector<std::string> args;
};

class ISendEventInterface {
public:
    // A write to an output file failed; the argument names the file.
    static constexpr uint32_t kOutputFileWriteFailed = 0x11000028;

    virtual ~ISendEventInterface() = default;
    virtual CKoError SendEvent(const SAgentEvent& event) = 0;
    CKoError SendEvent(uint32_t eventId, std::vector<std::string> args) {
        return SendEvent(SAgentEvent{eventId, std::move(args)});
    }

    // The interface the library uses now; never null.
    static std::shared_ptr<ISendEventInterface> Current();
    // Installs `events` (null: back to the log) and answers the one it replaces.
    static std::shared_ptr<ISendEventInterface> SetCurrent(std::shared_ptr<ISendEventInterface> events);

    // "EventId=[0x11000028] Args=[a|b]": one line whatever the arguments hold.
    static std::string Format(const SAgentEvent& event);
};

// Writes each event to the process log as an error line.
class CLogSendEvent : public ISendEventInterface {
public:
    CKoError SendEvent(const SAgentEvent& event) override;
    using ISendEventInterface::SendEvent;
};

// Appends each event, with its time, to "Events.txt" in a folder.
class CFileSendEvent : public ISendEventInterface {
public:
    explicit CFileSendEvent(const std::string& folder);
    CKoError SendEvent(const SAgentEvent& event) override;
    using ISendEventInterface::SendEvent;
    const std::string& GetFilePath() const { return m_path; }

private:
    std::mutex m_mutex;
    std::string m_path;
};

// Keeps every event in memory.
class CRecordingSendEvent : public ISendEventInterface {
public:
    CKoError SendEvent(const SAgentEvent& event) override;
    using ISendEventInterface::SendEvent;
    std::vector<SAgentEvent> GetEvents() const;

private:
    mutable std::mutex m_mutex;
    std::vector<SAgentEvent> m_events;
};

// Installs an interface for the life of a scope (tests, tools) and puts the previous one back.
class CScopedSendEvent {
public:
    explicit CScopedSendEvent(std::shared_ptr<ISendEventInterface> events)
        : m_previous(ISendEventInterface::SetCurrent(std::move(events))) {}
    ~CScopedSendEvent() { ISendEventInterface::SetCurrent(std::move(m_previous)); }
    CScopedSendEvent(const CScopedSendEvent&) = delete;
    CScopedSendEvent& operator=(const CScopedSendEvent&) = delete;

private:
    std::shared_ptr<ISendEventInterface> m_previous;
};
