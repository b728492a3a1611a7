// Makes the repair collect of a TrueUp run the job the next backup runs. The job is a job of the
// cycle with its own id and folder: an incremental job whose one collect file is the repair
// collect, with a copy of the last successful job's DirChange and its start time, content roots
// and rescan paths, so that the next scan goes on from that job as if no repair had been made.
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
    // The job id a repair gets: the next one the job manager hands out.
    static CKoError NextJobId(const std::string& resultsDir, long long& jobId);
    // `collectName` (written in `resultsDir`) is complete and durable; it moves into the job's folder.
    static CKoError Register(const std::string& resultsDir, const CScanJobState& state, long long jobId,
                             const std::string& collectName);
};
