// One scan job of a subclient: walks the content, decides item by item what the backup must read
// (everything for a full job; new, moved-in and changed items for an incremental one), writes the
// collect file, lists deleted items, and records the current DirChange for the next job. With
// several scanner threads the walkers share the DirChange and the collect writers; with several
// readers each collect file is split into parts before the job commits.
//
// The job runs on the job cycle of its results folder (JobCycle.h): it compares against the last
// job whose backup succeeded (or was committed), collects again what that backup could not read
// or a committed one did not reach, and writes its files in its own folder "J<id>": the collect
// files "CollectTot<n>.zyf" / "CollectInc<n>.zyf", the description, and its DirChange "DCTmp.zyf".
// Its record in the job-state document is written last: a job that fails or is killed is dropped
// by the next scan, and the previous successful job stays the baseline.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/KoError.h"
#include "scan/content/EffectiveFilters.h"
#include "scan/dirchange/DirChangeKind.h"
#include "scan/job/JobDirChange.h"

struct SScanJobOptions {
    std::vector<std::string> contents;
    std::string resultsDir;
    long long jobId = -1;  // -1: one more than the last job of the folder; a job id is used once
    bool incremental = true;
    bool includeFiles = true;  // track files in the DirChange, not only folders
    bool showProgress = false;  // a progress line on standard error when it is a terminal
    unsigned threads = 1;  // scanner threads walking each root
    int readers = 1;       // each collect file is split into parts for this many data readers
    // What the walk leaves out: a filtered folder is not entered unless an exception takes back
    // something below it. An item the previous job's filters left out and these do not is
    // collected; one they leave out and the previous job's did not is listed as deleted.
    CEffectiveFilters filters;
    // The DirChange kind the job keeps; when not given, as CJobDirChange::Choose says.
    std::optional<EDirChangeKind> dirChangeKind;
    // Makes the job's DirChange; tests give one of their own (CDirChangeRecorder::Create when empty).
    CJobDirChange::Factory newDirChange;
};

struct SScanJobSummary {
    long long jobId = 0;
    bool full = true;
    std::string fallbackReason;  // why an incremental job ran as a full one
    std::string stateNotice;     // a damaged job-state document was set aside
    EDirChangeKind dirChangeKind;  // the kind the job kept
    std::string dirChangeSkipped;  // what the job left out of the previous DirChange (empty: nothing)
    std::string dirChangeNote;     // a kind setting that could not be used
    uint64_t seen = 0, collected = 0, deleted = 0, bytes = 0, scanErrors = 0;
    // What became of each collect file when split for several readers: "CollectInc1.zyf: split
    // into 4 parts", "...: not split, the collect file stays whole: <why>".
    std::vector<std::string> splits;
    unsigned threads = 1;  // scanner threads that walked (one for the kinds that need walk order)
    uint64_t filtered = 0;        // items the filters left out (a folder left unwalked counts once)
    uint64_t newlyIncluded = 0;   // items collected because the filters changed
    bool filtersChanged = false;  // since the previous scan
    double seconds = 0;
};

class CScanJob {
public:
    explicit CScanJob(SScanJobOptions options);
    ~CScanJob();
    CScanJob(const CScanJob&) = delete;
    CScanJob& operator=(const CScanJob&) = delete;

    // Runs the job. Scan errors (unreadable folders) do not fail it; they are counted.
    CKoError Run();
    const SScanJobSummary& Summary() const { return m_summary; }

    // The start time recorded for a scan lies this far before the walk began: file systems stamp
    // changes with a coarse clock, so a change made just after the start may carry an earlier time.
    static constexpr int64_t kStartTimeMarginMicros = 2000000;
    // The largest job id: ids are kept as signed 64-bit numbers with room for one more.
    static constexpr long long kMaxJobId = (1ll << 62);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    SScanJobSummary m_summary;
};

