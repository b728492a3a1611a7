// "fsscan commit": keeps what a stopped backup read; the next scan collects the rest.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "CommandLine.h"
#include "Commands.h"
#include "core/Path.h"
#include "core/SafePath.h"
#include "core/Sync.h"
#include "scan/job/JobCycle.h"
#include "scan/job/Progress.h"

namespace {

void PrintCommitHelp(FILE* out) {
    std::fprintf(out,
                 "usage: fsscan commit --results DIR --job N\n"
                 "\n"
                 "Commits job N, whose backup was stopped: what its readers backed up stays, and\n"
                 "the next scan of DIR collects exactly what they had not reached, with what\n"
                 "changed since. The items not reached are listed in DIR/J<N>/Commit_J<N>_Collect.zyf.\n"
                 "Exit codes: 0 success, 2 failed.\n");
}

}  // namespace

int RunCommitCommand(int argc, char** argv) {
    CCommandLine cl;
    if (!cl.Parse(argc, argv, {"--results", "--job"}, {"--help", "-h"})) {
        std::fprintf(stderr, "fsscan commit: %s\n", cl.Error().c_str());
        PrintCommitHelp(stderr);
        return 2;
    }
    if (cl.Has("--help") || cl.Has("-h")) {
        PrintCommitHelp(stdout);
        return 0;
    }
    const std::string text = cl.Get("--job");
    errno = 0;
    const long long jobId = text.empty() || text.find_first_not_of("0123456789") != std::string::npos
                                ? -1
                                : std::strtoll(text.c_str(), nullptr, 10);
    if (cl.Get("--results").empty() || errno == ERANGE || jobId < 1) {
        std::fprintf(stderr, "fsscan commit: --results and --job (a job id) are required\n");
        return 2;
    }
    std::string results;
    CKoError e = FXPath::MakeRealPath(cl.Get("--results"), results);
    FXFolderLock lock;
    if (e.IsSuccess()) e = LockResultsFolder(results, lock);
    CJobCycle cycle;
    if (e.IsSuccess()) e = cycle.Open(results);
    uint64_t uncommitted = 0;
    if (e.IsSuccess()) e = cycle.CommitJob(jobId, uncommitted);
    if (e.IsError()) {
        std::fprintf(stderr, "fsscan: commit failed: %s\n", e.AsString().c_str());
        return 2;
    }
    std::printf("job %lld committed: %s items it had not backed up go to the next scan\n", jobId,
                Thousands(uncommitted).c_str());
    return 0;
}
