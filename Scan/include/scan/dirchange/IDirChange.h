// What the scanner asks a DirChange item by item, whatever keeps it.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "core/KoError.h"
#include "core/Sync.h"
#include "scan/dirchange/DirChangeItemFlags.h"
#include "scan/dirchange/FVBase.h"
#include "scan/dirchange/PathCache.h"

class ContentMapperAPI;
class CStopWatch;

class IDirChange {
public:
    using PREVIOUS_JOB_FLAGS = BDirChangeItemFlags::PREVIOUS_JOB_FLAGS;
    using CURRENT_JOB_FLAGS = BDirChangeItemFlags::CURRENT_JOB_FLAGS;
    using CURRENT_COLLECT_FLAGS = BDirChangeItemFlags::CURRENT_COLLECT_FLAGS;
    using ACTIVITY_FLAGS = BDirChangeItemFlags::ACTIVITY_FLAGS;

    virtual ~IDirChange() = default;

    virtual void DumpDiagnosticData() {}
    virtual void DumpDeletedItems() {}
    virtual int64_t GetMemoryUsed() { return 0; }
    virtual CKoError WriteCurrentDirChangeFile(const std::string& /*fileName*/) { return CKoError::Success(); }
    virtual CKoError WriteCurrentCollectFile(const std::string& /*fileName*/, int64_t& /*fileCount*/) {
        return CKoError::Success();
    }
    virtual CKoError WriteDeletedItems(FILE* /*file*/, bool /*listEveryItem*/) { return CKoError::Success(); }
    virtual bool IsPreviousDirChangeLoaded() const { return false; }

    // The decision questions. `which` names the kind of item asked about: PREVIOUSDIRCHANGE
    // (folder) or PD_FILE (file), CURRENTDIRCHANGE or CD_FILE, CURRENTCOLLECT or CC_FILE. The
    // overloads with a flag word also hand out the flags the search found.
    virtual bool IsItemInPreviousJob(const std::string& /*path*/, PREVIOUS_JOB_FLAGS /*which*/) { return false; }
    virtual bool IsItemInPreviousJob(const std::string& /*path*/, BDirChangeItemFlags& /*flags*/,
                                     PREVIOUS_JOB_FLAGS /*which*/) {
        return false;
    }
    virtual bool IsItemInCurrentCollect(const std::string& /*path*/, CURRENT_COLLECT_FLAGS /*which*/) { return false; }
    virtual bool IsItemInCurrentCollect(const std::string& /*path*/, BDirChangeItemFlags& /*flags*/,
                                        CURRENT_COLLECT_FLAGS /*which*/) {
        return false;
    }
    virtual bool IsItemInCurrentDirChange(const std::string& /*path*/, CURRENT_JOB_FLAGS /*which*/) { return false; }
    virtual bool IsItemInCurrentDirChange(const std::string& /*path*/, BDirChangeItemFlags& /*flags*/,
                                          CURRENT_JOB_FLAGS /*which*/) {
        return false;
    }
    virtual bool IsItemEligibleForCurrentCollect(const std::string& /*path*/, CURRENT_JOB_FLAGS /*which*/) {
        return false;
    }
    virtual bool IsItemEligibleForCurrentCollect(const std::string& /*path*/, BDirChangeItemFlags& /*flags*/,
                                                 CURRENT_JOB_FLAGS /*which*/) {
        return false;
    }

    // Loads the previous job's DirChange; folder paths go through `mapper` (host to proxy) when
    // one is given.
    virtual CKoError LoadFile(const std::string& fileName, ContentMapperAPI* mapper) = 0;
    // Records a current-job item: `flags` are merged into what the path already has.
    virtual CKoError AddItem(const std::string& path, BDirChangeItemFlags flags, const std::string& text,
                             const FVBasePtr& info) = 0;
    virtual CKoError AddCurrentItem(const std::string& path, BDirChangeItemFlags flags, const std::string& text,
                                    const FVBasePtr& info) {
        return AddItem(path, flags, text, info);
    }
    // Marks the folders above current items; runs after the last item was added and before the
    // current DirChange and collect files are written.
    virtual CKoError IdentifyIntermediateNodes() = 0;
};
