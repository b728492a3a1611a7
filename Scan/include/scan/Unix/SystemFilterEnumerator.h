// The system filters: runs the nine system-filter sources in a fixed order and merges their
// filters and exceptions. A source that fails is logged and left out; the others still count.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "scan/content/EffectiveFilters.h"
#include "scan/content/FilterEnumerator.h"

class CSystemFilterEnumerator : public CFilterEnumerator {
public:
    CSystemFilterEnumerator(const std::string& instanceName, const std::string& clientName, uint32_t backupLevel,
                            const std::string& jobResultsFolder, unsigned long value, bool filterSnapshotMounts,
                            bool laptopBackup, bool flag1, bool flag2);
    // Snapshot mounts are not filtered.
    CSystemFilterEnumerator(const std::string& instanceName, const std::string& clientName, uint32_t backupLevel,
                            const std::string& jobResultsFolder, unsigned long value, bool laptopBackup, bool flag1,
                            bool flag2);
    // No client name.
    CSystemFilterEnumerator(const std::string& instanceName, uint32_t backupLevel, const std::string& jobResultsFolder,
                            unsigned long value, bool laptopBackup, bool flag1, bool flag2, bool flag3);
    // No instance or folder; backup level 1.
    CSystemFilterEnumerator(const std::string& clientName, bool flag1, bool flag2, bool flag3);

    using CFilterEnumerator::Process;
    CKoError Process() override;
    CKoError LoadFilters(RawFileNameFilterSet& filters, RawFileNameFilterSet& exceptions) override;
    // Adds nothing in this design.
    virtual CKoError LoadOptionalFilters(RawFileNameFilterSet& filters, RawFileNameFilterSet& exceptions);
    // Clears the vector.
    CKoError GetSystemFilters(std::vector<std::shared_ptr<CEnumeratedFilters>>& filters);

    // What each source gave in the last Process, in the sources' order.
    struct SSourceResult {
        std::string name;
        bool succeeded = false;
        RawFileNameFilterSet filters, exceptions;
    };
    const std::vector<SSourceResult>& GetSourceResults() const { return m_results; }
    // Adds every merged filter and exception to `effective`, each named by the first source
    // that gave it ("system:<source>"). Strings the matcher cannot read are kept aside there.
    void AppendTo(CEffectiveFilters& effective) const;

    // The mount table the mount-point source reads (tests give their own).
    void SetMountTable(std::string path) { m_mountTable = std::move(path); }

    // Positions in the flag array.
    enum EFlag { kFilterSnapshotMounts, kLaptopBackup, kFlag1, kFlag2, kFlag3, kFlagCount = 8 };

private:
    unsigned long m_value = 0;
    bool m_flags[kFlagCount] = {};
    std::string m_mountTable = "/proc/self/mounts";
    std::vector<SSourceResult> m_results;
};
