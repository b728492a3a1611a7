#include "scan/Unix/FilterOrreryMagneticMountPaths.h"

#include "agent/FileSystemAgent.h"
#include "agent/FilterTerm.h"
#include "core/LogWriter.h"

CKoError CFilterOrreryMagneticMountPaths::Process() {
    ZYFileSystemAgent agent;
    if (agent.setFocus(m_instanceName).IsError())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FUNCTION_FAILED, "setFocus failed, Instance=%s",
                                       m_instanceName.c_str());
    if (agent.isMountPathFilteringDisabled()) return CKoError::Success();
    const struct {
        int (ZYFileSystemAgent::*count)() const;
        bool (ZYFileSystemAgent::*path)(int, char*, size_t) const;
        const char* filtering;
        const char* failed;
        const char* none;
    } kinds[] = {
        {&ZYFileSystemAgent::getMagneticMountPathCount, &ZYFileSystemAgent::getMagneticMountPath,
         "Filtering Magnetic mount path [%s]", "Failed to get magnetic mount path for path number [%d]",
         "No magnetic mount path filters present; Either not defined or disabled"},
        {&ZYFileSystemAgent::getMovedMagneticMountPathCount, &ZYFileSystemAgent::getMovedMagneticMountPath,
         "Filtering Moved Magnetic mount path [%s]", "Failed to get moved magnetic mount path for path number [%d]",
         "No moved magnetic mount path filters present; Either not defined or disabled"},
    };
    for (const auto& kind : kinds) {
        const int count = (agent.*kind.count)();
        if (count == 0) ZYLOG(1, "%s", kind.none);
        for (int i = 0; i < count; ++i) {
            char buffer[4096];
            if (!(agent.*kind.path)(i, buffer, sizeof buffer)) {
                ZYLOG(1, kind.failed, i);
                continue;
            }
            ZYLOG(1, kind.filtering, buffer);
            CKoError e = AddFolderFilter(CFilterTerm::EscapeLiteral(buffer));
            if (e.IsError()) return e.Push(ZY_HERE);
        }
    }
    return CKoError::Success();
}
