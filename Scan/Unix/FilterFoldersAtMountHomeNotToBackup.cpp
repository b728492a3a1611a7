#include "scan/Unix/FilterFoldersAtMountHomeNotToBackup.h"

#include "agent/FilterTerm.h"
#include "core/LogWriter.h"
#include "core/MntTab.h"
#include "core/Path.h"
#include "core/PlatformInfo.h"

CFilterFoldersAtMountHomeNotToBackup::CFilterFoldersAtMountHomeNotToBackup(std::string mountTable)
    : m_mountTable(std::move(mountTable)) {
    long long doNotFilter = 0;
    if (ZYPlatformInfo::getNumber("FileSystemAgent", "nDoNotFilterSnapshots", doNotFilter).IsSuccess() &&
        doNotFilter != 0)
        m_filterSnapshots = false;
}

CKoError CFilterFoldersAtMountHomeNotToBackup::Process() {
    std::vector<ZyMntEnt> mounts;
    CKoError e = ZyMntTab::getAll(mounts, m_mountTable);
    if (e.IsError()) return e.Push(ZY_HERE);
    for (const ZyMntEnt& mount : mounts) {
        e = ProcessOneMount(mount.mountPoint, mount.fsType == "zfs");
        if (e.IsError()) return e.Push(ZY_HERE, "MountPoint=[%s]", mount.mountPoint.c_str());
    }
    return CKoError::Success();
}

CKoError CFilterFoldersAtMountHomeNotToBackup::ProcessOneMount(const std::string& mountPoint, bool isZfs) {
    // The names are joined below the mount point: "/mnt/data" + ".snapshot" alone would name the
    // sibling "/mnt/data.snapshot".
    const std::string base = CFilterTerm::EscapeLiteral(mountPoint);
    auto below = [&](const char* name) { return FXPath::Join(base, name); };
    CKoError e = AddFolderFilter(below(".cxfs_restore"));
    if (e.IsSuccess()) e = AddFolderFilter(below(".cxfs_locks"));
    if (e.IsError()) return e.Push(ZY_HERE);
    if (mountPoint != "/") {
        AddWildcardFilter(below(".DATACLASS_*")).IgnoreError();
        e = AddWildcardFilter(below(".DATACLASS_*/**"));
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    if (m_filterSnapshots) {
        e = AddFolderFilter(below(".snapshot"));
        if (e.IsSuccess()) e = AddFolderFilter(below(".snapshots"));
        if (e.IsSuccess() && isZfs) e = AddFolderFilter(FXPath::Join(below(".zfs"), "snapshot"));
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    return CKoError::Success();
}
