// Stand-in for the agent's backup job client: the part the library uses to raise job pending
// causes with the job manager. Two implementations: one that records what was raised (tests) and
// one that appends each raised cause as a line to a text file (tools, and people reading it).
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/KoError.h"

// Job status values are the job manager's (1, 3 and 14 among them); the library only ranks them.
using ZYJobStatus = uint32_t;

// The arguments of the next event the job client raises, in order.
class ZYEvent {
public:
    ZYEvent& operator<<(std::string_view arg) {
        m_args.emplace_back(arg);
        return *this;
    }
    const std::vector<std::string>& getArgs() const { return m_args; }
    void clear() { m_args.clear(); }

private:
    friend class ZYBkpJobClient;
    std::vector<std::string> m_args;
};

// One raised pending cause, with every argument as the caller passed it.
struct ZYPendingCause {
    uint32_t messageId = 0;
    std::optional<std::vector<int64_t>> jobList;  // empty: no job list given
    bool jobListFlag = false;
    uint32_t eventMessageType = 0;
    int value1 = 0;
    int value2 = 0;
    int value3 = 0;
    bool raiseEvent = false;
    uint32_t alertColour = 0;
    uint32_t flags = 0;
    int extra1 = 0;
    int extra2 = 0;
    std::vector<std::string> args;  // the event's arguments at the time of the call
};

class ZYBkpJobClient {
public:
    virtual ~ZYBkpJobClient() = default;

    // Arguments appended here go with the next setPendingCause.
    ZYEvent& getEvent() { return m_event; }

    // Raises a pending cause for the job with the event's arguments, which are consumed.
    CKoError setPendingCause(uint32_t messageId, const std::vector<int64_t>* jobList, bool jobListFlag,
                             uint32_t eventMessageType, int value1, int value2, int value3, bool raiseEvent,
                             uint32_t alertColour, uint32_t flags, int extra1, int extra2);

protected:
    virtual CKoError RaisePendingCause(const ZYPendingCause& cause) = 0;

private:
    ZYEvent m_event;
};

// Keeps every raised pending cause in memory.
class ZYRecordingBkpJobClient : public ZYBkpJobClient {
public:
    std::vector<ZYPendingCause> getPendingCauses() const;
    void clearPendingCauses();

protected:
    CKoError RaisePendingCause(const ZYPendingCause& cause) override;

private:
    mutable std::mutex m_mutex;
    std::vector<ZYPendingCause> m_causes;
};

// Appends each raised pending cause as one line to "PendingCauses.txt" in a folder.
class ZYFileBkpJobClient : public ZYBkpJobClient {
public:
    explicit ZYFileBkpJobClient(const std::string& folder);
    const std::string& getFilePath() const { return m_path; }

    // The line written for a cause (without the line feed).
    static std::string FormatPendingCause(const ZYPendingCause& cause);

protected:
    CKoError RaisePendingCause(const ZYPendingCause& cause) override;

private:
    std::mutex m_mutex;
    std::string m_path;
};
