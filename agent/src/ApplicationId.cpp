#include "agent/ApplicationId.h"

#include <cerrno>
#include <cstdio>
#include <string_view>

#include "core/File.h"
#include "core/PlatformInfo.h"

namespace {
constexpr const char* kSection = "Agent";
constexpr const char* kConfigDirKey = "SubclientConfigDir";

bool ParseAppType(std::string_view text, int& out) {
    if (text.empty() || text.size() > 9) return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    out = value;
    return true;
}

bool IsSafeName(const std::string& name) { return name != "." && name != ".." && name.find('/') == std::string::npos; }

bool ParseId(std::string_view text, unsigned& out) {
    if (text.empty() || text.size() > 10) return false;
    unsigned long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > UINT32_MAX) return false;
    out = static_cast<unsigned>(value);
    return true;
}
}  // namespace

// Subclient -------------------------------------------------------------------------------------

CKoError Subclient::NotConfigurable(const FXCodeLocation& loc) const {
    return FXErrorUtil::ErrorWin32(loc, ZyWin32::ERROR_NOT_SUPPORTED, "Subclient is not configurable, Subclient=[%s]",
                                   m_key.subclient.c_str());
}

CKoError Subclient::getSubclientId(uint32_t& id) const {
    if (!m_hub) return NotConfigurable(ZY_HERE);
    ZYSubclientDefinition def;
    CKoError e = m_hub->GetSubclient(m_key, def);
    if (e.IsError()) return e.Push(ZY_HERE);
    id = def.id;
    return CKoError::Success();
}

CKoError Subclient::getSubclientName(std::string& name) const {
    if (!m_hub) return NotConfigurable(ZY_HERE);
    ZYSubclientDefinition def;
    CKoError e = m_hub->GetSubclient(m_key, def);
    if (e.IsError()) return e.Push(ZY_HERE);
    name = def.name;
    return CKoError::Success();
}

CKoError Subclient::getFSBackupsetContent(unsigned /*hubCellId*/, unsigned /*appId*/, const std::string& /*clientName*/,
                                          const std::string& /*backupsetName*/, const std::string& /*subclientName*/,
                                          int64_t queryTime, bool flag, std::string& backupsetXml,
                                          std::string& extensionXml) const {
    if (!m_hub) return NotConfigurable(ZY_HERE);
    CKoError e = m_hub->GetFSBackupsetContent(m_key, queryTime, flag, backupsetXml, extensionXml);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError Subclient::getFilters(int type, int64_t asOf, std::vector<std::string>& filters) const {
    if (!m_hub) return NotConfigurable(ZY_HERE);
    CKoError e = m_hub->GetFilters(m_key, type, asOf, filters);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError Subclient::getRawFilters(int type, std::vector<std::string>& filters) const {
    if (!m_hub) return NotConfigurable(ZY_HERE);
    CKoError e = m_hub->GetFilters(m_key, type, 0, filters);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError Subclient::getRawFiles(std::vector<std::string>& files) const {
    if (!m_hub) return NotConfigurable(ZY_HERE);
    CKoError e = m_hub->GetRawFiles(m_key, files);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError Subclient::getNumberOfStreams(int& streams) const {
    if (!m_hub) return NotConfigurable(ZY_HERE);
    CKoError e = m_hub->GetNumberOfStreams(m_key, streams);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError Subclient::getLastBackupStartTime(int64_t& unixTime) const {
    if (!m_hub) return NotConfigurable(ZY_HERE);
    CKoError e = m_hub->GetLastBackupStartTime(m_key, unixTime);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

// ApplBackupContent and ApplicationId --------------------------------------------------------

CKoError ApplBackupContent::getFiles(BackupContent& content) const {
    content.files.clear();
    FXFileHandle file;
    CKoError e = FXFile::zyfopen(m_contentFile, "rb", file);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot open subclient content, FileName=[%s]", m_contentFile.c_str());
    std::string entry;
    int c;
    while ((c = std::getc(file.Get())) != EOF) {
        if (c != '\n') {
            entry.push_back(static_cast<char>(c));
            continue;
        }
        if (!entry.empty()) content.files.push_back(entry);
        entry.clear();
    }
    if (std::ferror(file.Get()))
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Cannot read subclient content, FileName=[%s]",
                                       m_contentFile.c_str());
    if (!entry.empty()) content.files.push_back(entry);
    return CKoError::Success();
}

CKoError ApplicationId::getApplicationId() {
    if (m_idString.empty())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "Empty application id");
    const size_t colon = m_idString.find(':');
    if (colon != std::string::npos && m_idString.find_first_of("=;") == std::string::npos) {
        unsigned hubCell = 0, appId = 0;
        if (!ParseId(std::string_view(m_idString).substr(0, colon), hubCell) ||
            !ParseId(std::string_view(m_idString).substr(colon + 1), appId))
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                           "Application id is not HUBCELL:APPID, IdString=[%s]", m_idString.c_str());
        *this = ApplicationId(m_idString);
        m_hubCellId = hubCell;
        m_appId = appId;
        return CKoError::Success();
    }
    int appType = 0;
    std::string client, app, backupset, subclient;
    bool seen[5] = {};
    std::string_view rest(m_idString);
    while (!rest.empty()) {
        size_t end = rest.find(';');
        std::string_view field = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (field.empty()) continue;
        size_t eq = field.find('=');
        if (eq == std::string_view::npos)
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                           "Application id field without value, Field=[%.*s], IdString=[%s]",
                                           static_cast<int>(field.size()), field.data(), m_idString.c_str());
        std::string_view key = field.substr(0, eq), value = field.substr(eq + 1);
        static constexpr std::string_view kKeys[] = {"client", "app", "appType", "backupset", "subclient"};
        int index = -1;
        for (int i = 0; i < 5; ++i)
            if (key == kKeys[i]) index = i;
        if (index < 0 || seen[index])
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                           "Unknown or repeated application id field, Field=[%.*s], IdString=[%s]",
                                           static_cast<int>(field.size()), field.data(), m_idString.c_str());
        seen[index] = true;
        switch (index) {
            case 0: client.assign(value); break;
            case 1: app.assign(value); break;
            case 2:
                if (!ParseAppType(value, appType))
                    return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                                   "appType is not a number, IdString=[%s]", m_idString.c_str());
                break;
            case 3: backupset.assign(value); break;
            default: subclient.assign(value); break;
        }
    }
    m_appType = appType;
    m_clientName = std::move(client);
    m_appName = std::move(app);
    m_backupsetName = std::move(backupset);
    m_subclientName = std::move(subclient);
    return CKoError::Success();
}

CKoError ApplicationId::getSubclient(std::shared_ptr<Subclient>& subclient) const {
    subclient.reset();
    if (m_appId != 0) {
        std::shared_ptr<ZYHubServe> hub = ZYHubServe::Current();
        ZYSubclientKey key;
        CKoError e = hub->FindSubclient(m_hubCellId, m_appId, key);
        if (e.IsError()) return e.Push(ZY_HERE, "IdString=[%s]", m_idString.c_str());
        subclient = std::make_shared<Subclient>(std::move(key), std::move(hub));
        return CKoError::Success();
    }
    if (m_clientName.empty() || m_backupsetName.empty() || m_subclientName.empty())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND, "Application id names no subclient, IdString=[%s]",
                                       m_idString.c_str());
    if (!IsSafeName(m_clientName) || !IsSafeName(m_backupsetName) || !IsSafeName(m_subclientName))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "Bad subclient name, IdString=[%s]",
                                       m_idString.c_str());
    std::string folder;
    CKoError e = ZYPlatformInfo::getString(kSection, kConfigDirKey, folder);
    if (e.IsError()) return e.Push(ZY_HERE, "No subclient configuration folder, IdString=[%s]", m_idString.c_str());
    if (folder.empty())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND, "Empty subclient configuration folder");
    std::string file = folder + "/" + m_clientName + "/" + m_backupsetName + "/" + m_subclientName + ".content";
    subclient = std::make_shared<Subclient>(ZYSubclientKey{m_clientName, m_backupsetName, m_subclientName},
                                            ZYHubServe::Current(), std::move(file));
    return CKoError::Success();
}
