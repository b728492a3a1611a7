// A TrueUp job over a job-results folder: compares what the backups hold (the backup index the
// backups of the folder keep, browsed into the TrueUp DirChange) with a fresh walk of the last
// scan's content roots (the comparison DirChange), reports each difference, and with `repair`
// makes the differences the collect file of a job the next backup runs (CTrueUpRepairJob).
//
// The TrueUp and comparison DirChange records are kept in the folder "TrueUp" of the job-results
// folder while the job runs and removed at its end. A job stopped by its abort check, or whose
// walk could not examine everything, reports what it found as partial and registers no repair.
// Nothing is ever deleted from the backups on the strength of a difference alone: an item reported
// deleted must be gone when looked at.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "agent/IndexBrowse.h"
#include "core/KoError.h"
#include "scan/dirchange/AbortOperationCheck.h"
#include "scan/dirchange/DirChangeItemFlags.h"
#include "scan/job/TrueUpReport.h"

struct STrueUpJobOptions {
    std::string resultsDir;
    EDirChangeMethod method = EDirChangeMethod::DIRCHANGE_METHOD_FILE;
    bool repair = false;
    CAbortOperationCheckPtr abortCheck;  // may be empty
    // Where the index browse goes; by default the backup index of the job-results folder.
    IdxBrowseClientPtr browseClient;
    // Each difference as a line (see CTrueUpReport).
    std::function<void(const std::string&)> onLine;
};

struct STrueUpJobSummary {
    long long scanJobId = 0;
    bool backupPending = false;  // the last scan's backup has not finished: differences expected
    uint64_t walked = 0;         // items of the comparison DirChange
    uint64_t unexamined = 0;     // items the walk could not examine
    STrueUpReportCounts counts;
    bool partial = false;  // the comparison did not see everything: what was found, not all there is
    long long repairJobId = 0;  // 0: no repair job registered
    std::string repairCollect;
    double seconds = 0;
};

class CTrueUpJob {
public:
    static constexpr const char* kWorkFolder = "TrueUp";

    explicit CTrueUpJob(STrueUpJobOptions options) : m_options(std::move(options)) {}
    // An aborted comparison is Win32 995 (operation aborted) with the summary marked partial.
    CKoError Run();
    const STrueUpJobSummary& Summary() const { return m_summary; }

private:
    STrueUpJobOptions m_options;
    STrueUpJobSummary m_summary;
};
