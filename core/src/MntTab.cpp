#include "core/MntTab.h"

#include <mntent.h>

#include <cerrno>
#include <cstdio>

CKoError ZyMntTab::getAll(std::vector<ZyMntEnt>& mounts, const std::string& table) {
    mounts.clear();
    FILE* f = ::setmntent(table.c_str(), "r");
    if (!f) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "setmntent failed, FileName=[%s]", table.c_str());
    struct mntent entry;
    char buffer[8192];
    // getmntent_r undoes the octal escapes ("\040" for a space) of the table.
    while (::getmntent_r(f, &entry, buffer, sizeof buffer)) {
        mounts.push_back(ZyMntEnt{entry.mnt_fsname, entry.mnt_dir, entry.mnt_type, entry.mnt_opts});
    }
    ::endmntent(f);
    return CKoError::Success();
}
