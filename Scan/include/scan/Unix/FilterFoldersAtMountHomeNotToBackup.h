// Folders the product and snapshots leave at every mount point.
#pragma once

#include <string>

#include "scan/content/EnumeratedFilters.h"

class CFilterFoldersAtMountHomeNotToBackup : public CEnumeratedFilters {
public:
    using CEnumeratedFilters::Process;
    // Snapshot folders are filtered unless the setting "nDoNotFilterSnapshots" is set and not 0.
    // `mountTable` is the file the mounts are read from.
    explicit CFilterFoldersAtMountHomeNotToBackup(std::string mountTable = "/proc/self/mounts");
    CKoError Process() override;
    CKoError ProcessOneMount(const std::string& mountPoint, bool isZfs);

private:
    std::string m_mountTable;
    bool m_filterSnapshots = true;
};
