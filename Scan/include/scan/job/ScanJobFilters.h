// The filters of a scan job as its walk asks them, item by item: whether the item is backed up,
// whether the walk goes below a folder, and whether the item is back in the backup because the
// filters changed since the previous job (a filter removed, an exception added): such an item
// must be collected although nothing about it changed.
//
// The previous job's filters are compiled only when they differ from this job's; then an item
// that this job backs up costs a second matcher step. Without any filter an item costs nothing.
// One object per walking thread: ForAnotherThread gives a further one that shares the compiled
// filters.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "core/KoError.h"
#include "scan/content/EffectiveFilters.h"
#include "scan/content/FilterWalk.h"
#include "scan/job/JobState.h"

class CScanJobFilters {
public:
    struct SDecision {
        bool included = true;       // the item is backed up
        bool descend = true;        // a folder: the walk goes below it (false for anything else)
        bool newlyIncluded = false;  // the previous job's filters left it out
    };

    // This job's filters.
    CKoError Prepare(const CEffectiveFilters& current);
    // What the previous scan recorded, for an incremental job. Win32 13 when they cannot be read
    // back (the job cannot tell what they left out).
    CKoError SetPrevious(const std::vector<SScanFilterRecord>& previous);

    // `path` is the item's absolute path as the walk met it.
    SDecision Decide(std::string_view path, bool isFolder) {
        SDecision d;
        d.descend = isFolder;
        if (m_current) {
            const SFilterVerdict v = m_current->Decide(path, isFolder);
            d.included = v.included;
            d.descend = v.descend;
        }
        if (d.included && m_previous) d.newlyIncluded = !m_previous->Decide(path, isFolder).included;
        return d;
    }

    bool Changed() const { return m_changed; }
    // Decides as this one does, with walks of its own; the compiled filters are shared.
    CScanJobFilters ForAnotherThread() const;
    // What the scan record keeps of `filters`.
    static std::vector<SScanFilterRecord> Record(const CEffectiveFilters& filters);

private:
    std::shared_ptr<const CFilterMatcher> m_currentMatcher, m_previousMatcher;
    std::unique_ptr<CFilterWalk> m_current;   // null without any filter
    std::unique_ptr<CFilterWalk> m_previous;  // null unless the previous job's filters differ and left something out
    std::vector<SScanFilterRecord> m_record;  // this job's
    bool m_changed = false;
};
