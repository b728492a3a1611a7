// A job-results folder's job-state document ("JobState.xml") of arbitrary bytes, loaded as the
// backup and the list command load it (the last complete scan and its record).
//
// Any bytes load or fail cleanly. A scan record that loads saves and loads back the same.
#include <sys/stat.h>

#include <string>

#include "FuzzSupport.h"
#include "scan/job/JobState.h"

namespace {

bool Same(const CScanJobState& a, const CScanJobState& b) {
    const SScanRecord &x = a.lastScan, &y = b.lastScan;
    return a.hasLastScan == b.hasLastScan && x.jobId == y.jobId && x.full == y.full && x.folder == y.folder &&
           x.baselineJobId == y.baselineJobId && x.includeFiles == y.includeFiles &&
           x.startTimeMicros == y.startTimeMicros && x.dirChangeSize == y.dirChangeSize &&
           x.dirChangeHash == y.dirChangeHash && x.collectFiles == y.collectFiles && x.collectSizes == y.collectSizes &&
           x.collectInfoFile == y.collectInfoFile && x.rescanPaths == y.rescanPaths &&
           x.contentRoots == y.contentRoots && x.formerRoots == y.formerRoots && x.dirChangeKind == y.dirChangeKind &&
           x.filters == y.filters;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::Setup();
    fuzzsupport::ClearScratchDir();
    fuzzsupport::WriteScratchFile(CScanJobState::kFileName, data, size);
    CScanJobState state;
    if (state.Load(fuzzsupport::ScratchDir()).IsError() || !state.hasLastScan) return 0;

    const std::string copy = fuzzsupport::ScratchPath("copy");
    FUZZ_CHECK(::mkdir(copy.c_str(), 0700) == 0);
    FUZZ_CHECK(state.Save(copy).IsSuccess());
    CScanJobState again;
    FUZZ_CHECK(again.Load(copy).IsSuccess());
    FUZZ_CHECK(Same(state, again));
    return 0;
}
