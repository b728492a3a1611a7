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
}  // namespace

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
    subclient = std::make_shared<Subclient>(m_clientName, m_backupsetName, m_subclientName, std::move(file));
    return CKoError::Success();
}
