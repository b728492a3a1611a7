// Questions about any job of the job manager, asked by server name (ZYJobManagerDirectory).
#pragma once

#include <cstdint>
#include <string>

#include "core/KoError.h"

class CJobClientHelper {
public:
    // The job's sub-status (0 not yet defined, 1 and 3 successful, others failed; the values of
    // EJobDisposition) and sub-state (its phase). An unknown job is Win32 1168; a server name
    // no job manager is known by is 1627.
    static CKoError GetJobDispositionByJobId(int64_t jobId, const std::string& serverName, int& subStatus,
                                             int& subState);
};
