// "fsscan status": the job history of a job-results folder.
#include <cstdio>
#include <string>

#include "CommandLine.h"
#include "Commands.h"
#include "scan/job/JobHistory.h"

namespace {

void PrintStatusHelp(FILE* out) {
    std::fprintf(out,
                 "usage: fsscan status --results DIR\n"
                 "\n"
                 "Prints every job of DIR with how its backup ended, which jobs are pending (not\n"
                 "yet resolved by a later scan), the last successful job of each level, and what\n"
                 "the next incremental scan will compare against and why.\n");
}

const char* LevelName(int level) { return level == 1 ? "full" : level == 2 ? "incremental" : "?"; }

}  // namespace

int RunStatusCommand(int argc, char** argv) {
    CCommandLine cl;
    if (!cl.Parse(argc, argv, {"--results"}, {"--help", "-h"})) {
        std::fprintf(stderr, "fsscan status: %s\n", cl.Error().c_str());
        PrintStatusHelp(stderr);
        return 2;
    }
    if (cl.Has("--help") || cl.Has("-h")) {
        PrintStatusHelp(stdout);
        return 0;
    }
    if (cl.Get("--results").empty()) {
        std::fprintf(stderr, "fsscan status: --results is required\n");
        return 2;
    }
    SJobHistory history;
    CKoError e = CJobHistory::Read(cl.Get("--results"), history);
    if (e.IsError()) {
        std::fprintf(stderr, "fsscan status: %s\n", e.AsString().c_str());
        return 2;
    }
    if (!history.documentProblem.empty())
        std::printf("the job-state document is damaged: %s\n", history.documentProblem.c_str());
    for (const SJobHistoryEntry& entry : history.jobs) {
        std::string notes;
        if (entry.pending) notes += ", pending";
        if (entry.lastSuccessful) notes += ", last successful " + std::string(LevelName(entry.job.backupLevel));
        if (entry.inDocument && !entry.scanComplete) notes += ", scan not complete";
        if (!entry.dest.empty()) notes += ", backed up to " + entry.dest;
        if (!entry.job.detail.empty()) notes += " (" + entry.job.detail + ")";
        std::printf("job %lld: %s, %s%s\n", static_cast<long long>(entry.job.jobId), LevelName(entry.job.backupLevel),
                    AsString(entry.job.disposition), notes.c_str());
    }
    if (history.jobs.empty()) std::printf("no jobs\n");
    std::printf("next incremental: %s\n", history.nextReason.c_str());
    return 0;
}
