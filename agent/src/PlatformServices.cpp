#include "agent/PlatformServices.h"

#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "core/Env.h"
#include "core/PlatformInfo.h"
#include "core/StringUtil.h"

namespace {
constexpr const char* kSection = "Agent";

// -1: not decided yet (read the environment), 0 or 1: decided.
std::atomic<int> g_isService{-1};
}  // namespace

bool ZYPI_Focus::AmIAService() {
    int v = g_isService.load();
    if (v < 0) {
        const char* env = std::getenv("SCAN_AS_SERVICE");
        v = (env && std::strcmp(env, "1") == 0) ? 1 : 0;
        g_isService.store(v);
    }
    return v == 1;
}

void ZYPI_Focus::SetIsService(bool isService) { g_isService.store(isService ? 1 : 0); }

std::string ZYPI_Focus::getFocusClientName(bool /*local*/) {
    std::string name;
    if (ZYPlatformInfo::getString(kSection, "ClientName", name).IsSuccess() && !name.empty()) return name;
    char host[HOST_NAME_MAX + 1] = {};
    if (::gethostname(host, sizeof host - 1) != 0) return "localhost";
    return host;
}

CKoError ZYPI_CommClient::getJobResultsDirectory(const std::string& clientName, std::string& out) {
    if (!clientName.empty() && ZYPlatformInfo::getString(kSection, "JobResultsDir." + clientName, out).IsSuccess())
        return CKoError::Success();
    CKoError e = ZYPlatformInfo::getString(kSection, "JobResultsDir", out);
    if (e.IsError()) return e.Push(ZY_HERE, "No job-results folder known, ClientName=[%s]", clientName.c_str());
    return CKoError::Success();
}

CKoError ZYPI_CommClient::getSubclientDirectory(unsigned hubCellId, unsigned appId, const std::string& clientName,
                                                std::string& out) {
    std::string base;
    CKoError e = getJobResultsDirectory(clientName, base);
    if (e.IsError()) return e.Push(ZY_HERE);
    FXEnv* env = FXEnv::Current();
    std::string folder = base;
    for (unsigned part : {hubCellId, appId}) {
        folder += "/" + std::to_string(part);
        e = env->CreateDir(folder);
        if (e.IsError() && !FXErrorUtil::IsWin32(e, ZyWin32::ERROR_ALREADY_EXISTS))
            return e.Push(ZY_HERE, "Cannot make the subclient folder, Folder=[%s]", folder.c_str());
    }
    out = std::move(folder);
    return CKoError::Success();
}

CKoError ZYPI_PlatformInfo::getList(const std::string& section, const std::string& key, std::vector<std::string>& out) {
    out.clear();
    std::string value;
    CKoError e = ZYPlatformInfo::getString(section, key, value);
    if (e.IsError()) return e.Push(ZY_HERE);
    std::vector<std::string> parts;
    FXString::Split(value, ",", parts);
    for (std::string& part : parts) {
        FXString::TrimWhiteSpace(part);
        if (!part.empty()) out.push_back(std::move(part));
    }
    return CKoError::Success();
}

CKoError ZYPI_PlatformInfo::GetAllInInstances(std::vector<std::string>& instances) {
    if (getList(kSection, "Instances", instances).IsError() || instances.empty()) instances = {"Instance001"};
    return CKoError::Success();
}

CKoError ZYPI_PlatformInfo::getActiveClientList(const std::string& instance, std::vector<std::string>& clients) {
    if (getList("Agent:" + instance, "ActiveClients", clients).IsSuccess() && !clients.empty()) return CKoError::Success();
    // Without a configured client list the machine's own client is the active one, but only
    // where a job-results folder is configured: otherwise no client of this machine runs jobs.
    std::string folder;
    if (ZYPlatformInfo::getString(kSection, "JobResultsDir", folder).IsSuccess() && !folder.empty())
        clients = {ZYPI_Focus::getFocusClientName(true)};
    else
        clients.clear();
    return CKoError::Success();
}

CKoError ZYPI_PlatformInfo::getInstalledPackages(std::vector<int>& packages) {
    packages.clear();
    std::vector<std::string> items;
    if (getList(kSection, "InstalledPackages", items).IsError()) return CKoError::Success();
    for (const std::string& item : items) {
        char* end = nullptr;
        const long id = std::strtol(item.c_str(), &end, 10);
        if (!end || *end != '\0' || id <= 0 || id > 1000000)
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "Bad package id, Package=[%s]",
                                           item.c_str());
        packages.push_back(static_cast<int>(id));
    }
    return CKoError::Success();
}

CKoError ZYPI_PlatformInfo::getLocalClientId(const std::string& clientName, uint32_t& clientId) {
    long long id = 0;
    CKoError e = ZYPlatformInfo::getNumber(kSection, "ClientId", id);
    if (e.IsError()) return e.Push(ZY_HERE, "No client id known, ClientName=[%s]", clientName.c_str());
    if (id <= 0 || id > UINT32_MAX)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "Bad client id, ClientId=[%lld]", id);
    clientId = static_cast<uint32_t>(id);
    return CKoError::Success();
}

CKoError ZYPI_PlatformInfo::getDatabasePathsForClient(uint32_t /*clientId*/, std::vector<std::string>& paths) {
    if (getList(kSection, "DatabasePaths", paths).IsError()) paths.clear();
    return CKoError::Success();
}

bool ZYProductionMounts::getMount(const std::string& name, std::string& mountPoint) {
    return ZYPlatformInfo::getString(kSection, "ProductionMount." + name, mountPoint).IsSuccess() && !mountPoint.empty();
}

CKoError ZYSIDBClient::getCLDBRootFolder(const std::string& clientName, std::string& folder) {
    CKoError e = ZYPlatformInfo::getString(kSection, "CLDBRoot", folder);
    if (e.IsError()) return e.Push(ZY_HERE, "No CLDB root folder, ClientName=[%s]", clientName.c_str());
    return CKoError::Success();
}

CKoError ZYSIDBClient::getSIDBFolders(std::vector<std::string>& folders) {
    CKoError e = ZYPI_PlatformInfo::getList(kSection, "SIDBFolders", folders);
    if (e.IsError()) return e.Push(ZY_HERE, "No SIDB folders");
    return CKoError::Success();
}
