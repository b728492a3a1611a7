// Pseudo file systems, the folders the setting "FilesNotToBackup" names, and the registered
// snapshot mounts.
#pragma once

#include "scan/content/EnumeratedFilters.h"

class CFilterFilesNotToBackup : public CEnumeratedFilters {
public:
    using CEnumeratedFilters::Process;
    explicit CFilterFilesNotToBackup(bool filterSnapshotMounts) : m_filterSnapshotMounts(filterSnapshotMounts) {}
    CKoError Process() override;
    // Solaris local zones other than "global" (when "/usr/sbin/zoneadm" exists); not part of Process.
    CKoError FilterSolarisLocalZones();

private:
    bool m_filterSnapshotMounts;
};
