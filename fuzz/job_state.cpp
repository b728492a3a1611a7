// fsscan's job-state file ("FsScanState.xml") of arbitrary bytes, loaded as the next job loads it.
//
// Any bytes load or fail cleanly. A state that loads saves and loads back to the same state.
#include <sys/stat.h>

#include <string>

#include "FuzzSupport.h"
#include "scan/job/JobState.h"

namespace {

bool Same(const CScanJobState& a, const CScanJobState& b) {
    const SScanRecord &x = a.lastScan, &y = b.lastScan;
    return a.hasLastScan == b.hasLastScan && a.lastJobId == b.lastJobId && a.backupJobId == b.backupJobId &&
           a.backupDone == b.backupDone && x.jobId == y.jobId && x.full == y.full &&
           x.includeFiles == y.includeFiles && x.startTimeMicros == y.startTimeMicros &&
           x.dirChangeFile == y.dirChangeFile && x.dirChangeSize == y.dirChangeSize &&
           x.dirChangeHash == y.dirChangeHash && x.collectFiles == y.collectFiles &&
           x.collectInfoFile == y.collectInfoFile && x.rescanPaths == y.rescanPaths &&
           x.dirChangeKind == y.dirChangeKind && x.filters == y.filters;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::Setup();
    fuzzsupport::ClearScratchDir();
    fuzzsupport::WriteScratchFile(CScanJobState::kFileName, data, size);
    CScanJobState state;
    if (state.Load(fuzzsupport::ScratchDir()).IsError()) return 0;

    const std::string copy = fuzzsupport::ScratchPath("copy");
    FUZZ_CHECK(::mkdir(copy.c_str(), 0700) == 0);
    FUZZ_CHECK(state.Save(copy).IsSuccess());
    CScanJobState again;
    FUZZ_CHECK(again.Load(copy).IsSuccess());
    FUZZ_CHECK(Same(state, again));
    return 0;
}
