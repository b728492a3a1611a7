// A small tree for the TrueUp tests, a "backup" that records it in the backup index as the backup
// would, and the damage done behind the backup's back.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "agent/BackupIndex.h"
#include "agent/FileSystemScanner.h"
#include "support/TestSupport.h"

namespace trueuptest {

inline void MakeTree(const std::string& root) {
    for (const char* d : {"", "/docs", "/docs/old", "/src", "/empty"}) ::mkdir((root + d).c_str(), 0755);
    for (const char* f : {"/docs/a.txt", "/docs/b.txt", "/docs/old/c.txt", "/src/main.cpp", "/src/util.h", "/top"})
        testsupport::WriteFile(root + f, std::string("content of ") + f);
}

// Every item below (and including) `root`, as a backup that copied them records them.
inline void RecordTree(CSQLiteBackupIndex& index, const std::string& root, int64_t jobId = 1) {
    struct Recorder : IScanItemCallback {
        CKoError OnItem(const std::shared_ptr<CItem>& item, bool&) override {
            SBackupIndexItem record;
            record.path = item->GetPath();
            record.folder = item->IsFolder();
            record.modificationTime = item->Stat().mtime.tv_sec;
            record.changeTime = item->Stat().ctime.tv_sec;
            record.size = record.folder ? 0 : static_cast<uint64_t>(item->Stat().size);
            record.jobId = jobId;
            return index->RecordItem(record);
        }
        void OnScanError(const std::string&, const CKoError&) override {}
        CSQLiteBackupIndex* index;
        int64_t jobId;
    } recorder;
    recorder.index = &index;
    recorder.jobId = jobId;
    ASSERT_TRUE(index.BeginBatch().IsSuccess());
    CFileSystemScanner scanner;
    ASSERT_TRUE(scanner.Scan(root, recorder).IsSuccess());
    ASSERT_TRUE(index.CommitBatch().IsSuccess());
}

// Change times have whole seconds in the records: damage done in the second of the backup would
// not show. This waits (at most one second) until the file system stamps a later second than it
// stamped for `since`, probing with a file of its own in `folder` (file times come from a clock
// of their own, a little behind the real-time clock).
inline void WaitForNextSecond(const std::string& folder, const std::string& since) {
    struct stat reference;
    ASSERT_EQ(::stat(since.c_str(), &reference), 0);
    const std::string probe = folder + "/.second-probe";
    for (;;) {
        testsupport::WriteFile(probe, "x");
        struct stat st;
        ASSERT_EQ(::stat(probe.c_str(), &st), 0);
        if (st.st_ctim.tv_sec > reference.st_ctim.tv_sec) break;
        timespec pause{0, 2000000};
        nanosleep(&pause, nullptr);
    }
    ::unlink(probe.c_str());
}

// Rewrites the file and puts its old modification (and access) time back, as `touch -r` would.
inline void RewriteKeepingTimes(const std::string& path, const std::string& content) {
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    testsupport::WriteFile(path, content);
    timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

}  // namespace trueuptest
