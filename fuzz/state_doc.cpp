// The job-state document reader and everything the state manager does with what it read.
#include <cstddef>
#include <cstdint>

#include "FuzzTempDir.h"
#include "scan/jobstate/JobCleanupCallback.h"
#include "scan/jobstate/StateManager.h"

namespace {

// Even job ids succeeded, odd ones failed; no job manager needed.
class ParityDisposition : public CJobDispositionQueryCallback {
public:
    ParityDisposition() : CJobDispositionQueryCallback("fuzz") {}
    CKoError QueryJobDisposition(int64_t jobId, bool& successful) override {
        successful = jobId % 2 == 0;
        return CKoError::Success();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzzsupport::ConfinedEnv env;
    FXScopedEnv scoped(&env);
    const std::string path = fuzzsupport::TempDir() + "/JobState.xml";
    fuzzsupport::WriteFile(path, data, size);

    XStateDoc doc;
    if (doc.Load(path).IsSuccess()) doc.Validate().IgnoreError();

    CStateManager sm(path);
    sm.SetJobDispositionQueryCallback(std::make_shared<ParityDisposition>());
    SStateSummary summary;
    sm.GetSummary(summary).IgnoreError();
    SStateBaseline baseline;
    sm.GetBaseline({1, 2}, baseline);
    int64_t id = 0;
    sm.GetLastSuccessfulJobByJobType(2, id).IgnoreError();
    XJobPtr job;
    sm.GetLastSuccessfulJobByJobType(1, job).IgnoreError();
    CKoXNodePtr node;
    sm.GetGenericNodeInJob(1, node, "DirChange").IgnoreError();

    auto cleanup = std::make_shared<CJobCleanupCallback>();
    cleanup->SetJobFolderRoot(fuzzsupport::TempDir());
    const int64_t current = summary.jobs.empty() ? 1 : summary.jobs.back();
    sm.ProcessPendingJobs(current, CTimeStamp(), "1:1:0", cleanup).IgnoreError();
    sm.UpdateCurrentJob(current, CTimeStamp(), "1:2:0", 2).IgnoreError();
    if (sm.AddOrGetGenericNodeInJob(current, node, "ScanInfo").IsSuccess())
        sm.AddOrReplaceNodeInJob(current, node, "ScanInfo").IgnoreError();
    std::string aside;
    sm.SetAsideDamagedFile(aside).IgnoreError();
    return 0;
}
