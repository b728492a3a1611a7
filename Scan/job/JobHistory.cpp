#include "scan/job/JobHistory.h"

#include <map>

#include "agent/SQLiteJobManager.h"
#include "core/Path.h"
#include "scan/job/JobState.h"
#include "scan/jobstate/JobFiles.h"
#include "scan/jobstate/StateManager.h"

namespace {

std::string LevelName(int type) { return type == 1 ? "full" : type == 2 ? "incremental" : "type " + std::to_string(type); }

}  // namespace

CKoError CJobHistory::Read(const std::string& resultsDir, SJobHistory& history) {
    history = SJobHistory();
    std::map<long long, SJobHistoryEntry> byId;
    const std::string dbPath = CSQLiteJobManager::DefaultPathFor(resultsDir);
    if (CJobFiles::Exists(dbPath)) {
        CSQLiteJobManager jm;
        std::vector<SJobManagerJob> jobs;
        CKoError e = jm.Open(dbPath);
        if (e.IsSuccess()) e = jm.ListJobs(jobs);
        if (e.IsError()) return e.Push(ZY_HERE, "Cannot read the job manager of %s", resultsDir.c_str());
        for (const SJobManagerJob& job : jobs) byId[job.jobId].job = job;
    }
    CStateManager manager(FXPath::Join(resultsDir, CScanJobState::kFileName));
    SStateSummary summary;
    CKoError e = manager.GetSummary(summary);
    if (e.IsError()) {
        history.documentProblem = e.GetMessage();
        summary = SStateSummary();
    }
    history.documentFound = summary.documentFound;
    for (long long id : summary.jobs) {
        SJobHistoryEntry& entry = byId[id];
        entry.job.jobId = id;
        entry.inDocument = true;
        CKoXNodePtr node;
        entry.scanComplete = manager.GetGenericNodeInJob(id, node, CScanRecordNode::kElementName).IsSuccess() &&
                             node->AttributeAsBOOL("Complete");
        if (manager.GetGenericNodeInJob(id, node, "Backup").IsSuccess()) entry.dest = node->AttributeAsString("Dest");
    }
    for (const auto& ref : summary.pending) byId[ref.jobId].pending = true;
    for (const auto& ref : summary.lastSuccessful) byId[ref.jobId].lastSuccessful = true;
    for (auto& [id, entry] : byId) history.jobs.push_back(entry);

    // What the next scan will find: it resolves the pending jobs first, so a pending job whose
    // backup succeeded (or was committed) becomes the baseline; a pending job still running then
    // counts as failed.
    const SJobHistoryEntry* best = nullptr;
    std::string skipped;
    for (const SJobHistoryEntry& entry : history.jobs) {
        const bool succeeded = IsSuccessfulDisposition(entry.job.disposition);
        if ((entry.lastSuccessful || (entry.pending && succeeded)) && entry.scanComplete) best = &entry;
        else if (entry.pending)
            skipped += (skipped.empty() ? "" : "; ") + std::string("job ") + std::to_string(entry.job.jobId) + " is " +
                       AsString(entry.job.disposition) + (entry.scanComplete ? "" : " without a complete scan") +
                       ", so it does not count";
    }
    if (!history.documentProblem.empty()) {
        history.nextReason = "runs full, because the job-state document is damaged (" + history.documentProblem + ")";
    } else if (best) {
        history.nextBaseline = best->job.jobId;
        history.nextReason = "compares against job " + std::to_string(best->job.jobId) + " (" +
                             LevelName(best->job.backupLevel) + "), the last job whose backup " +
                             (best->job.disposition == EJobDisposition::Committed ? "was committed" : "succeeded");
    } else {
        history.nextReason = history.documentFound ? "runs full, because no job is known to have been backed up"
                                                   : "runs full, because no job is recorded yet";
    }
    if (!skipped.empty()) history.nextReason += "; " + skipped;
    return CKoError::Success();
}
