#include "agent/FileSystemAgent.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "agent/PlatformServices.h"
#include "core/PlatformInfo.h"

CKoError ZYFileSystemAgent::setFocus(const std::string& instance) {
    std::vector<std::string> instances;
    CKoError e = ZYPI_PlatformInfo::GetAllInInstances(instances);
    if (e.IsError()) return e.Push(ZY_HERE);
    if (std::find(instances.begin(), instances.end(), instance) == instances.end())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND, "No such instance, Instance=[%s]",
                                       instance.c_str());
    m_instance = instance;
    return CKoError::Success();
}

std::optional<std::string> ZYFileSystemAgent::Folder(const char* key) const {
    std::string value;
    if (ZYPlatformInfo::getString(Section(), key, value).IsError() || value.empty()) return std::nullopt;
    return value;
}

bool ZYFileSystemAgent::Switch(const char* key) const {
    long long value = 0;
    return ZYPlatformInfo::getNumber(Section(), key, value).IsSuccess() && value != 0;
}

int ZYFileSystemAgent::Count(const char* key) const {
    std::vector<std::string> paths;
    ZYPI_PlatformInfo::getList(Section(), key, paths).IgnoreError();
    return static_cast<int>(paths.size());
}

bool ZYFileSystemAgent::PathAt(const char* key, int index, char* buffer, size_t size) const {
    std::vector<std::string> paths;
    if (ZYPI_PlatformInfo::getList(Section(), key, paths).IsError() || index < 0 ||
        static_cast<size_t>(index) >= paths.size())
        return false;
    const std::string& path = paths[static_cast<size_t>(index)];
    if (path.empty() || path.size() + 1 > size) return false;
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return true;
}
