// "fsscan trueup": the options, the job, the difference lines and the summary.
#include <csignal>
#include <cstdio>
#include <string>

#include "CommandLine.h"
#include "Commands.h"
#include "scan/job/Progress.h"
#include "scan/job/TrueUpJob.h"

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void OnSignal(int) { g_interrupted = 1; }

// An interrupt stops the comparison where it is; what was found is reported as partial.
class CSignalAbortCheck : public CAbortOperationCheck {
public:
    bool IsAborted() override { return g_interrupted != 0; }
};

void PrintTrueUpHelp(FILE* out) {
    std::fprintf(out,
                 "usage: fsscan trueup --results DIR [--method file|container] [--repair]\n"
                 "\n"
                 "Compares what the backups of DIR hold (the backup index the backups keep in DIR)\n"
                 "with a fresh walk of the content of DIR's last scan, and prints each difference:\n"
                 "  new PATH                      on the file system, never backed up\n"
                 "  modified PATH (size, ctime)   changed since its backup without being picked up\n"
                 "                                (what differed: size, mtime, ctime, acl)\n"
                 "  deleted PATH                  held by the backups, gone from the file system\n"
                 "Folders end in \"/\". --method chooses the form of the two records compared (flat\n"
                 "DirChange files, the default, or DirChange containers). With --repair the\n"
                 "differences become the collect file of a job that the next 'fsscan backup' runs;\n"
                 "the last backup must have finished. An interrupted comparison prints what it found,\n"
                 "says it is partial and registers no repair.\n"
                 "Exit codes: 0 nothing differs, 1 differences found, 2 failed or partial.\n");
}

}  // namespace

int RunTrueUpCommand(int argc, char** argv) {
    CCommandLine cl;
    if (!cl.Parse(argc, argv, {"--results", "--method"}, {"--repair", "--help", "-h"})) {
        std::fprintf(stderr, "fsscan trueup: %s\n", cl.Error().c_str());
        PrintTrueUpHelp(stderr);
        return 2;
    }
    if (cl.Has("--help") || cl.Has("-h")) {
        PrintTrueUpHelp(stdout);
        return 0;
    }
    STrueUpJobOptions options;
    options.resultsDir = cl.Get("--results");
    const std::string method = cl.Get("--method", "file");
    if (options.resultsDir.empty() || (method != "file" && method != "container")) {
        std::fprintf(stderr, "fsscan trueup: --results is required; --method is file or container\n");
        return 2;
    }
    options.method = method == "file" ? EDirChangeMethod::DIRCHANGE_METHOD_FILE : EDirChangeMethod::DIRCHANGE_METHOD_CONTAINER;
    options.repair = cl.Has("--repair");
    options.abortCheck = std::make_shared<CSignalAbortCheck>();
    options.onLine = [](const std::string& line) { std::printf("%s\n", line.c_str()); };
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    CTrueUpJob job(options);
    CKoError e = job.Run();
    std::fflush(stdout);
    const STrueUpJobSummary& s = job.Summary();
    if (s.backupPending)
        std::fprintf(stderr, "fsscan: warning: the backup of job %lld has not finished; the backups lack its changes\n",
                     s.scanJobId);
    if (s.partial)
        std::fprintf(stderr, "fsscan: trueup partial: %s; the differences above are not all there are\n",
                     s.unexamined ? (Thousands(s.unexamined) + " items could not be examined").c_str()
                                  : "the comparison was stopped");
    if (e.IsError() && !s.partial) {
        std::fprintf(stderr, "fsscan: trueup failed: %s\n", e.AsString().c_str());
        return 2;
    }
    const STrueUpReportCounts& c = s.counts;
    std::printf("trueup of job %lld%s: %s items on the file system, %s new, %s modified, %s deleted%s\n", s.scanJobId,
                s.partial ? " (partial)" : "", Thousands(s.walked).c_str(), Thousands(c.newItems).c_str(),
                Thousands(c.modifiedItems).c_str(), Thousands(c.deletedItems).c_str(),
                c.unverified ? (", " + Thousands(c.unverified) + " reported deleted but still there").c_str() : "");
    if (s.repairJobId)
        std::printf("repair: job %lld backs them up at the next 'fsscan backup' (%s)\n", s.repairJobId,
                    s.repairCollect.c_str());
    if (e.IsError() || s.partial) return 2;
    return c.Total() ? 1 : 0;
}
