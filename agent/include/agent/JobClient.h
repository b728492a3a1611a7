// Stand-in for the agent's backup job client: the part the library uses to raise job pending
// causes with the job manager, and to read and record a job's restart string and disposition in
// the job manager (JobManager.h). Two implementations of raising: one that records what was
// raised (tests) and one that appends each raised cause as a line to a text file (tools, and
// people reading it).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agent/JobManager.h"
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

    // Binds the client to a job of the job manager known by `serverName` (ZYJobManagerDirectory).
    // `platformType` (4 a client platform, 1 a server) is kept for the logs.
    CKoError init(int64_t jobId, const std::string& serverName, int platformType);
    int64_t getJobId() const { return m_jobId; }
    int getPlatformType() const { return m_platformType; }
    // The job's restart string (lookup type 0: the job's own). The calls below fail with Win32 6
    // before init.
    CKoError getRestartString(int lookupType, std::string& restartString);
    CKoError setRestartString(const std::string& restartString);
    CKoError setJobDisposition(EJobDisposition disposition, const std::string& detail);
    CKoError setJobPhase(int phase);

protected:
    // Without an override a client cannot raise causes (Win32 50).
    virtual CKoError RaisePendingCause(const ZYPendingCause& cause);

private:
    CKoError JobManager(const FXCodeLocation& here, std::shared_ptr<IJobManager>& jobManager) const;

    ZYEvent m_event;
    std::shared_ptr<IJobManager> m_jobManager;
    int64_t m_jobId = 0;
    int m_platformType = 0;
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
