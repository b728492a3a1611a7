#include "agent/VolumeInfo.h"

#include <sys/stat.h>
#include <sys/statfs.h>

#include <cerrno>
#include <cstring>

#include "core/StringUtil.h"

CKoError ZyVolumeInfo::GetObjectGuid(const std::string& path, std::string& guid) {
    struct statfs fs;
    struct stat st;
    if (::statfs(path.c_str(), &fs) != 0 || ::stat(path.c_str(), &st) != 0)
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Cannot identify the volume of %s", path.c_str());
    unsigned id[2];
    static_assert(sizeof fs.f_fsid == sizeof id, "fsid is two ints");
    std::memcpy(id, &fs.f_fsid, sizeof id);
    guid = FXString::Format("%08x%08x-%016llx", id[0], id[1], static_cast<unsigned long long>(st.st_dev));
    return CKoError::Success();
}
