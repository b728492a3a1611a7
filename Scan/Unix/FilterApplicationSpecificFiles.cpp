#include "scan/Unix/FilterApplicationSpecificFiles.h"

#include <algorithm>

#include "agent/FilterTerm.h"
#include "agent/PlatformServices.h"
#include "core/Env.h"
#include "core/LogWriter.h"
#include "core/Path.h"
#include "core/PlatformInfo.h"

namespace {

struct SApplication {
    int packages[2];
    const char* message;
};
constexpr SApplication kApplications[] = {
    {{1207, 351}, "Found DB2 agent installed, application filters will be added"},
    {{1204, 352}, "Found Oracle agent installed, application filters will be added"},
    {{1205, 354}, "Found SAP Oracle agent installed, application filters will be added"},
    {{1208, 358}, "Found MySQL agent installed, application filters will be added"},
    {{1209, 362}, "Found PostgreSQL agent installed, application filters will be added"},
    {{1201, 360}, "Found Informix agent installed, application filters will be added"},
};

// The DB2 agent's own paths: each value trimmed of tabs and line ends.
void AddFilesFromInstanceRegistry(std::vector<std::string>& paths) {
    const struct {
        const char* key;
        const char* what;
    } kValues[] = {{"sDB2_ARCHIVE_PATH", "Archive path"},
                   {"sDB2_AUDIT_ERROR_PATH", "Audit error path"},
                   {"sDB2_RETRIEVE_PATH", "Retrieve path"}};
    for (const auto& v : kValues) {
        std::string value;
        if (ZYPlatformInfo::getString("Db2Agent", v.key, value).IsError() ||
            FXString::Trim(value, "\t\r\n").empty()) {
            ZYLOG(1, "Could not get registry key %s, %s will not be added", v.key, v.what);
            continue;
        }
        ZYLOG(2, "Adding ContentFile = (%s) as content.", value.c_str());
        paths.push_back(std::move(value));
    }
}

}  // namespace

CKoError CFilterApplicationSpecificFiles::Process() {
    long long enabled = 0;
    if (ZYPlatformInfo::getNumber("FileSystemAgent", "nFilterApplicationFiles", enabled).IsError() || enabled == 0) {
        ZYLOG(2, "nFilterApplicationFiles registry key is not set");
        return CKoError::Success();
    }
    ZYLOG(2, "Application filter will be added registry key %s = [%d]", "FilterApplicationFiles",
          static_cast<int>(enabled));
    CKoError e = GetApplicationDAX();
    if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_NOT_FOUND)) {
        ZYLOG(2, "None of application DAXs are installed");
        return CKoError::Success();
    }
    if (e.IsError()) return e.Push(ZY_HERE);
    uint32_t clientId = 0;
    e = ZYPI_PlatformInfo::getLocalClientId(GetClientName(), clientId);
    if (e.IsError()) {
        ZYLOG_ERROR("Failed to get the local client Id for client: = (%s).", GetClientName().c_str());
        return e.Push(ZY_HERE, "Failed to get the local client Id");
    }
    ZYLOG(2, "Got clientName %s, clientId %lu.", GetClientName().c_str(), static_cast<unsigned long>(clientId));
    std::vector<std::string> paths;
    e = ProcessApplicationFilters(clientId, paths);
    if (e.IsSuccess()) e = AddFilterApplicationFiles(paths);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CFilterApplicationSpecificFiles::GetApplicationDAX() {
    std::vector<int> installed;
    CKoError e = ZYPI_PlatformInfo::getInstalledPackages(installed);
    if (e.IsError()) return e.Push(ZY_HERE, "Failed to query for installed packages list, filters will NOT be added");
    for (const SApplication& app : kApplications) {
        for (int id : app.packages) {
            if (std::find(installed.begin(), installed.end(), id) != installed.end()) {
                ZYLOG(2, "%s", app.message);
                return CKoError::Success();
            }
        }
    }
    ZYLOG(2, "Did not find any application installed, filters will NOT be added");
    return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND, "No database agent installed");
}

CKoError CFilterApplicationSpecificFiles::ProcessApplicationFilters(uint32_t clientId, std::vector<std::string>& paths) {
    CKoError e = ZYPI_PlatformInfo::getDatabasePathsForClient(clientId, paths);
    if (e.IsError()) ZYLOG_ERROR("getDatabasePathsForClient from HubServe failed.");
    AddFilesFromInstanceRegistry(paths);
    if (paths.empty()) ZYLOG(2, "None of the filter files found");
    return CKoError::Success();
}

CKoError CFilterApplicationSpecificFiles::AddFilterApplicationFiles(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
        FXFileStat st;
        if (FXEnv::Current()->Stat(path, st, true).IsError()) {
            ZYLOG(2, "Path = (%s) does not exist, not adding it", path.c_str());
            continue;
        }
        std::string physical;
        if (FXPath::MakeRealPath(path, physical).IsError()) {
            ZYLOG(1, "Path (%s) Failed to get a physicalPath. Not adding it", path.c_str());
            continue;
        }
        ZYLOG(2, "Got source path (%s), physical path (%s).", path.c_str(), physical.c_str());
        CKoError e;
        if (st.IsDirectory()) {
            ZYLOG(2, "Folder (%s) added to be filtered", physical.c_str());
            e = AddFolderFilter(CFilterTerm::EscapeLiteral(physical));
        } else {
            ZYLOG(2, "File (%s) is added to filter", physical.c_str());
            e = AddFileFilter(CFilterTerm::EscapeLiteral(physical));
        }
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    return CKoError::Success();
}
