// Makes the repair collect of a TrueUp run the job the next backup runs. The job is registered as
// the last scan of the job-results folder: an incremental job of its own id whose one collect
// file is the repair collect, with the previous scan's DirChange, start time, content roots and
// rescan paths, so that the next scan goes on from the previous one as if no repair had been made.
//
// Only a folder whose last backup is done may get a repair job: the collect files of a backup
// still to run would be lost otherwise. The collect file and its description are durable before
// the state names them; the state is the commit point.
#pragma once

#include <string>

#include "core/KoError.h"
#include "scan/job/JobState.h"

class CTrueUpRepairJob {
public:
    static constexpr const char* kCollectInfoName = "CollectInfoTrueUp.zyf";

    // The repair collect's name for job `jobId` ("CollectTrueUp_J<id>.zyf").
    static std::string CollectName(long long jobId);
    // The job id a repair of `state` gets.
    static CKoError NextJobId(const CScanJobState& state, long long& jobId);
    // `collectName` (in `resultsDir`) is complete and durable. Removes the repair collects of
    // earlier repair jobs, whose backups are done.
    static CKoError Register(const std::string& resultsDir, const CScanJobState& state, long long jobId,
                             const std::string& collectName);
};
