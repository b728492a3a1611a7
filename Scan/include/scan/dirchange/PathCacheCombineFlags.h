// The CombineFlags update policy of the tries that hold DirChange flag words.
#pragma once

#include "scan/dirchange/DirChangeItemFlags.h"
#include "scan/dirchange/PathCacheScanData.h"

struct CombineFlags {
    // DirChange tree nodes: the merge rule of the flag word.
    static BDirChangeItemFlags OnExists(BDirChangeItemFlags existing, BDirChangeItemFlags value) {
        return BDirChangeItemFlags::Merge(existing, value);
    }
    // Folder records: the existing record is kept and takes the new record's flags with the
    // current-job rule, whatever bits they carry.
    static const CPathCacheScanDataPtr& OnExists(const CPathCacheScanDataPtr& existing, const CPathCacheScanDataPtr& value) {
        if (!existing) return value;
        if (value)
            existing->SetFlags(BDirChangeItemFlags::MergeCurrentJob(existing->GetFlags(), value->GetFlags()));
        return existing;
    }
};
