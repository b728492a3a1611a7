// "fsscan scan": the options, the job, the summary line.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "CommandLine.h"
#include "Commands.h"
#include "JobSetupOptions.h"
#include "scan/job/JobState.h"
#include "scan/job/Progress.h"
#include "scan/job/ScanJob.h"

namespace {

void PrintScanHelp(FILE* out) {
    std::fprintf(out,
                 "usage: fsscan scan (--content PATH [--content PATH ...] | --subclient FILE) --results DIR\n"
                 "                   [--filter PATTERN ...] [--exception PATTERN ...] [--no-system-filters]\n"
                 "                   [--job ID] [--level full|incremental] [--folders-only]\n"
                 "                   [--dirchange tree|flat|segments]\n"
                 "                   [--threads N] [--readers N]\n"
                 "\n"
                 "Scans the content and writes the job's collect file, deleted items and DirChange\n"
                 "into the job-results folder DIR (in DIR/J<ID>). An incremental job collects what is\n"
                 "new, moved in or changed since the last job whose backup succeeded (or was\n"
                 "committed), and again what that backup could not read or did not reach; without\n"
                 "one it runs full and says why. A job id is used once (default: the next one).\n"
                 "When the filters changed since the previous scan, what they now leave out is listed\n"
                 "as deleted and what they no longer leave out is collected.\n"
                 "%s"
                 "  --folders-only   track only folders in the DirChange (files are judged by time)\n"
                 "  --dirchange KIND how the DirChange is kept: tree (all items in memory), flat\n"
                 "                   (flat DirChange files; folders in memory) or segments (the tree\n"
                 "                   file; folders in memory). Default: the setting DirChangeKind,\n"
                 "                   else the kind of the previous job, else tree. A job whose\n"
                 "                   previous job kept a file it cannot read runs full.\n"
                 "  --threads N      walk with N scanner threads (default: the cores, at most 8)\n"
                 "  --readers N      split each collect file into parts for N backup streams\n"
                 "                   (default 1: no split; a subclient may give it)\n"
                 "Exit codes: 0 success, 1 finished with scan errors, 2 failed.\n",
                 CJobSetupOptions::Usage());
}

// A whole number from 1 to `most`.
bool ParseCount(const std::string& text, unsigned most, unsigned& out) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long v = std::strtoul(text.c_str(), nullptr, 10);
    if (v == 0 || v > most) return false;
    out = static_cast<unsigned>(v);
    return true;
}

constexpr unsigned kMostThreads = 64, kMostReaders = 1000;

}  // namespace

int RunScanCommand(int argc, char** argv) {
    CCommandLine cl;
    std::vector<std::string> valued{"--results", "--job", "--level", "--dirchange", "--threads", "--readers"},
        flags{"--folders-only", "--help", "-h"};
    valued.insert(valued.end(), CJobSetupOptions::Valued().begin(), CJobSetupOptions::Valued().end());
    flags.insert(flags.end(), CJobSetupOptions::Flags().begin(), CJobSetupOptions::Flags().end());
    if (!cl.Parse(argc, argv, valued, flags)) {
        std::fprintf(stderr, "fsscan scan: %s\n", cl.Error().c_str());
        PrintScanHelp(stderr);
        return 2;
    }
    if (cl.Has("--help") || cl.Has("-h")) {
        PrintScanHelp(stdout);
        return 0;
    }
    SScanJobOptions options;
    options.resultsDir = cl.Get("--results");
    std::string level = cl.Get("--level", "incremental");
    std::string why;
    if (!CJobSetupOptions::Check(cl, why) || options.resultsDir.empty() || (level != "full" && level != "incremental")) {
        std::fprintf(stderr, "fsscan scan: %s\n", why.empty() ? "--results is required; --level is full or incremental" : why.c_str());
        return 2;
    }
    options.incremental = level == "incremental";
    options.threads = std::max(1u, std::min(8u, std::thread::hardware_concurrency()));
    unsigned readers = 1;
    if ((cl.Has("--threads") && !ParseCount(cl.Get("--threads"), kMostThreads, options.threads)) ||
        (cl.Has("--readers") && !ParseCount(cl.Get("--readers"), kMostReaders, readers))) {
        std::fprintf(stderr, "fsscan scan: --threads takes a number from 1 to %u, --readers from 1 to %u\n", kMostThreads,
                     kMostReaders);
        return 2;
    }
    options.readers = static_cast<int>(readers);
    options.showProgress = true;
    options.includeFiles = !cl.Has("--folders-only");
    if (cl.Has("--dirchange")) {
        EDirChangeKind kind;
        CKoError e = EDirChangeKind::Parse(cl.Get("--dirchange"), kind);
        if (e.IsError()) {
            std::fprintf(stderr, "fsscan scan: --dirchange is tree, flat or segments\n");
            return 2;
        }
        options.dirChangeKind = kind;
    }
    if (cl.Has("--job")) {
        const std::string text = cl.Get("--job");
        errno = 0;
        options.jobId = text.empty() || text.find_first_not_of("0123456789") != std::string::npos
                            ? -1
                            : std::strtoll(text.c_str(), nullptr, 10);
        if (errno == ERANGE || options.jobId < 1 || options.jobId > CScanJob::kMaxJobId) {
            std::fprintf(stderr, "fsscan scan: --job takes a job id, a number from 1 to %lld\n", CScanJob::kMaxJobId);
            return 2;
        }
    }

    CSubclientJobSetup setup;
    CKoError e = CJobSetupOptions::Load(cl, options.resultsDir, level == "full", setup);
    if (e.IsError()) {
        std::fprintf(stderr, "fsscan: %s\n", e.AsString().c_str());
        std::fprintf(stderr, "fsscan: no job was run; the job-results folder keeps the previous job's state\n");
        return 2;
    }
    if (setup.Origin().fromLocalCopy)
        std::fprintf(stderr, "fsscan: the server cannot be reached (%s); the job uses the local copy %s\n",
                     setup.Origin().reason.c_str(), setup.Origin().localCopy.c_str());
    for (const auto& [entry, reason] : setup.Filters().Skipped())
        std::fprintf(stderr, "fsscan: the %s filter [%s] is left out: %s\n", entry.source.c_str(),
                     CEffectiveFilters::Printable(entry.pattern).c_str(), reason.c_str());
    options.contents = setup.Content();
    options.filters = setup.Filters();
    // --readers wins over the subclient's number.
    // A quick job without a subclient keeps one collect file per root unless --readers asks.
    const bool subclientReaders = !cl.Has("--readers") && setup.FromSubclient() && setup.Readers().count > 0;
    const std::string readersReason =
        cl.Has("--readers") ? "--readers" : subclientReaders ? setup.Readers().reason : "one unless --readers is given";
    if (subclientReaders) options.readers = setup.Readers().count;
    else if (!cl.Has("--readers")) options.readers = 1;

    CScanJob job(options);
    e = job.Run();
    const SScanJobSummary& s = job.Summary();
    if (!s.dirChangeNote.empty()) std::fprintf(stderr, "fsscan: DirChangeKind: %s\n", s.dirChangeNote.c_str());
    if (!s.stateNotice.empty()) std::fprintf(stderr, "fsscan: warning: %s\n", s.stateNotice.c_str());
    if (!s.fallbackReason.empty() && options.incremental)
        std::fprintf(stderr, "fsscan: running a full scan: %s\n", s.fallbackReason.c_str());
    if (!s.dirChangeSkipped.empty())
        std::fprintf(stderr,
                     "fsscan: the previous DirChange is used without the lines it could not use (their items count as "
                     "new; deletions among them are not listed): %s\n",
                     s.dirChangeSkipped.c_str());
    if (e.IsError()) {
        std::fprintf(stderr, "fsscan: scan failed: %s\n", e.AsString().c_str());
        std::fprintf(stderr, "fsscan: the job-results folder keeps the previous successful job as the baseline\n");
        return 2;
    }
    for (const std::string& split : s.splits) std::printf("%s\n", split.c_str());
    double rate = s.seconds > 0 ? static_cast<double>(s.seen) / s.seconds : 0.0;
    std::printf("job %lld (%s): %s items seen, %s collected, %s deleted, %s bytes, %.2f s, %s items/s%s\n", s.jobId,
                s.full ? "full" : "incremental", Thousands(s.seen).c_str(), Thousands(s.collected).c_str(),
                Thousands(s.deleted).c_str(), Thousands(s.bytes).c_str(), s.seconds,
                Thousands(static_cast<uint64_t>(rate)).c_str(),
                s.scanErrors ? (", " + Thousands(s.scanErrors) + " scan errors").c_str() : "");
    std::printf("filters: %s rules, %s items left out%s%s; %d data readers (%s)\n",
                Thousands(options.filters.Entries().size()).c_str(), Thousands(s.filtered).c_str(),
                s.filtersChanged ? ", the filters changed since the previous scan" : "",
                s.newlyIncluded ? (", " + Thousands(s.newlyIncluded) + " items no longer left out").c_str() : "",
                options.readers, readersReason.c_str());
    // The local copy of the subclient's content needs the job-results folder, which the first
    // job makes.
    if (setup.FromSubclient() && !setup.Origin().fromLocalCopy && !setup.Origin().reason.empty()) {
        CSubclientJobSetup again;
        if (CJobSetupOptions::Load(cl, options.resultsDir, level == "full", again).IsError())
            std::fprintf(stderr, "fsscan: the local copy of the subclient's content was not written\n");
    }
    return s.scanErrors ? 1 : 0;
}
