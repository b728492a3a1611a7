// "fsscan restore": the options, the job, the list of what could not be restored, the summary.
#include <cstdio>
#include <string>

#include "CommandLine.h"
#include "Commands.h"
#include "scan/job/Progress.h"
#include "scan/job/RestoreJob.h"

namespace {

void PrintRestoreHelp(FILE* out) {
    std::fprintf(out,
                 "usage: fsscan restore --results DIR --from DEST --to TARGET [--path PATH ...] [--overwrite]\n"
                 "\n"
                 "Restores what the backups of DIR kept in DEST into TARGET, each backed-up path P at\n"
                 "TARGET + P: everything, or the items at and below each PATH (an absolute path as\n"
                 "it was backed up). Content (holes kept), symbolic links, owners (as root), mode,\n"
                 "extended attributes with the POSIX ACLs, inode flags (immutable and append-only\n"
                 "last) and the times of files and folders. Existing items are replaced only with\n"
                 "--overwrite; existing folders are merged into. Nothing outside TARGET is written:\n"
                 "links are never followed. Items that could not be restored are listed with the\n"
                 "reason, here and in DIR/Restore/restore.out.\n"
                 "Exit codes: 0 success, 1 finished with items it could not restore, 2 failed.\n");
}

}  // namespace

int RunRestoreCommand(int argc, char** argv) {
    CCommandLine cl;
    if (!cl.Parse(argc, argv, {"--results", "--from", "--to", "--path"}, {"--help", "-h", "--overwrite"})) {
        std::fprintf(stderr, "fsscan restore: %s\n", cl.Error().c_str());
        PrintRestoreHelp(stderr);
        return 2;
    }
    if (cl.Has("--help") || cl.Has("-h")) {
        PrintRestoreHelp(stdout);
        return 0;
    }
    SRestoreJobOptions options;
    options.resultsDir = cl.Get("--results");
    options.from = cl.Get("--from");
    options.to = cl.Get("--to");
    options.paths = cl.GetAll("--path");
    options.overwrite = cl.Has("--overwrite");
    if (options.resultsDir.empty() || options.from.empty() || options.to.empty()) {
        std::fprintf(stderr, "fsscan restore: --results, --from and --to are required\n");
        return 2;
    }
    CRestoreJob job(options);
    CKoError e = job.Run();
    const SRestoreJobSummary& s = job.Summary();
    for (const SRestoreFailure& f : s.failures)
        std::fprintf(stderr, "fsscan: not restored: %s%s%s\n", f.path.c_str(), f.path.empty() ? "" : ": ", f.reason.c_str());
    if (s.failed > s.failures.size())
        std::fprintf(stderr, "fsscan: ... and %llu more (see %s)\n", static_cast<unsigned long long>(s.failed - s.failures.size()),
                     s.resultsFile.c_str());
    if (e.IsError()) {
        std::fprintf(stderr, "fsscan: restore failed: %s\n", e.AsString().c_str());
        return 2;
    }
    if (s.backupUnfinished)
        std::fprintf(stderr, "fsscan: warning: the last backup did not finish; what it had not copied yet is restored as the backup before it left it\n");
    if (s.withoutMetadata)
        std::fprintf(stderr, "fsscan: warning: the backup kept no metadata; owners, attributes and flags are those of the copies\n");
    std::printf("restore: %s files, %s folders, %s links, %s bytes, %.2f s%s\n", Thousands(s.files).c_str(),
                Thousands(s.folders).c_str(), Thousands(s.links + s.others).c_str(), Thousands(s.bytes).c_str(), s.seconds,
                s.failed ? (", " + Thousands(s.failed) + " items not restored").c_str() : "");
    return s.failed ? 1 : 0;
}
