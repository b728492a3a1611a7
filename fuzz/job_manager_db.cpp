// The job manager's database file, whatever it holds.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "FuzzTempDir.h"
#include "agent/SQLiteJobManager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzzsupport::TempDir() + "/JobManager.db";
    std::remove((path + "-journal").c_str());
    fuzzsupport::WriteFile(path, data, size);
    CSQLiteJobManager jm;
    if (jm.Open(path, 0).IsError()) return 0;
    std::vector<SJobManagerJob> jobs;
    if (jm.ListJobs(jobs).IsSuccess() && !jobs.empty()) {
        SJobManagerJob job;
        jm.GetJob(jobs.front().jobId, job).IgnoreError();
        jm.SetJobDisposition(jobs.back().jobId, EJobDisposition::Failed, "fuzz").IgnoreError();
        if (jobs.back().jobId < INT64_MAX) jm.BeginJob(jobs.back().jobId + 1, 2).IgnoreError();
    } else {
        jm.BeginJob(1, 1).IgnoreError();
    }
    return 0;
}
