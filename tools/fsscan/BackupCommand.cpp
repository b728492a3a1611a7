// "fsscan backup": the options, the job, the summary line.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "CommandLine.h"
#include "Commands.h"
#include "scan/job/BackupJob.h"
#include "scan/job/Progress.h"

namespace {

void PrintBackupHelp(FILE* out) {
    std::fprintf(out,
                 "usage: fsscan backup --results DIR --dest DEST [--streams N] [--checkpoint ITEMS]\n"
                 "                     [--preserve-atime] [--no-metadata]\n"
                 "\n"
                 "Reads the collect files of the last scan of DIR with N reader threads (default 1,\n"
                 "no more than there are collect files) and keeps DEST a mirror of the scanned\n"
                 "content: every item is copied to DEST + its path (content, mode and modification\n"
                 "time), deleted items are removed, and after a full scan whatever the scan did not\n"
                 "collect is removed. Nothing outside DEST is written and nothing outside the\n"
                 "scanned content is read: links are never followed, and collect lines naming other\n"
                 "paths are refused. Each reader records its place every ITEMS items (default 2000):\n"
                 "a backup that stopped, however it stopped, continues from there when run again.\n"
                 "Items that cannot be read and refused lines are raised as pending causes\n"
                 "(DIR/PendingCauses.txt).\n"
                 "Each item's owner, mode, times, extended attributes (POSIX ACLs among them) and\n"
                 "inode flags are kept in DIR/BackupMetadata.db for 'fsscan restore', unless\n"
                 "--no-metadata. --preserve-atime puts each file's access time back after reading\n"
                 "it, and records the change time that this gives the file, so that the next\n"
                 "incremental scan does not take it for changed.\n"
                 "Exit codes: 0 success, 1 finished with items it could not read or lines it\n"
                 "refused, 2 failed.\n");
}

bool ParseCount(const std::string& text, unsigned& out) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 7) return false;
    unsigned long v = std::strtoul(text.c_str(), nullptr, 10);
    if (v == 0 || v > 1000000) return false;
    out = static_cast<unsigned>(v);
    return true;
}

}  // namespace

int RunBackupCommand(int argc, char** argv) {
    CCommandLine cl;
    if (!cl.Parse(argc, argv, {"--results", "--dest", "--streams", "--checkpoint"}, {"--help", "-h", "--preserve-atime", "--no-metadata"})) {
        std::fprintf(stderr, "fsscan backup: %s\n", cl.Error().c_str());
        PrintBackupHelp(stderr);
        return 2;
    }
    if (cl.Has("--help") || cl.Has("-h")) {
        PrintBackupHelp(stdout);
        return 0;
    }
    SBackupJobOptions options;
    options.resultsDir = cl.Get("--results");
    options.dest = cl.Get("--dest");
    options.preserveAtime = cl.Has("--preserve-atime");
    options.keepMetadata = !cl.Has("--no-metadata");
    if (options.resultsDir.empty() || options.dest.empty() ||
        (cl.Has("--streams") && !ParseCount(cl.Get("--streams"), options.streams)) ||
        (cl.Has("--checkpoint") && !ParseCount(cl.Get("--checkpoint"), options.checkpointItems))) {
        std::fprintf(stderr,
                     "fsscan backup: --results and --dest are required; --streams and --checkpoint take a number from 1 "
                     "to 1000000\n");
        return 2;
    }

    options.showProgress = true;
    CBackupJob job(options);
    CKoError e = job.Run();
    const SBackupJobSummary& s = job.Summary();
    if (e.IsError()) {
        std::fprintf(stderr, "fsscan: backup failed: %s\n", e.AsString().c_str());
        return 2;
    }
    if (s.alreadyDone) {
        std::printf("job %lld is already backed up\n", s.jobId);
        return 0;
    }
    double rate = s.seconds > 0 ? static_cast<double>(s.bytes) / s.seconds / 1e6 : 0.0;
    std::string problems;
    if (s.unreadable) problems += ", " + Thousands(s.unreadable) + " items could not be read";
    if (s.refused) problems += ", " + Thousands(s.refused) + " collect lines refused";
    if (s.atimesPreserved) problems += ", " + Thousands(s.atimesPreserved) + " access times put back";
    std::printf("backup of job %lld%s: %s files, %s folders, %s links, %s deleted, %s bytes, %.2f s, %.1f MB/s, %u streams%s\n",
                s.jobId, s.restarted ? " (continued)" : "", Thousands(s.files).c_str(), Thousands(s.folders).c_str(),
                Thousands(s.links + s.others).c_str(), Thousands(s.deleted).c_str(), Thousands(s.bytes).c_str(),
                s.seconds, rate, s.threads, problems.c_str());
    return (s.unreadable || s.refused) ? 1 : 0;
}
