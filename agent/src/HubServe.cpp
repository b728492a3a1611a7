#include "agent/HubServe.h"

#include <algorithm>
#include <cerrno>
#include <mutex>

#include "agent/DaxMessages.h"
#include "agent/FileScanMessages.h"
#include "core/Env.h"
#include "core/KoXml.h"
#include "core/PlatformInfo.h"
#include "core/StringUtil.h"

namespace {

constexpr const char* kSection = "Agent";
constexpr unsigned kSaveFlags = CKoXDocument::FORMAT_NO_DECLARATION | CKoXDocument::FORMAT_COMPACT;

std::mutex g_mutex;
std::shared_ptr<ZYHubServe> g_current;

bool IsSafeName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

std::string KeyText(const ZYSubclientKey& key) { return key.client + "/" + key.backupset + "/" + key.subclient; }

CKoError AppendValue(CKoXNode& parent, const char* element, const char* attribute, const std::string& value,
                     CKoXNodePtr* created = nullptr) {
    CKoXNodePtr node;
    CKoError e = parent.AppendNode(element, node);
    if (e.IsSuccess()) e = node->SetAttributeString(attribute, FileScan::EncodeMessageText(value));
    if (created) *created = node;
    return e;
}

// The sorted names of a folder's entries.
CKoError ListFolder(const std::string& folder, std::vector<std::string>& names) {
    CKoError e = FXEnv::Current()->GetChildren(folder, names);
    if (e.IsError()) return e.Push(ZY_HERE);
    std::sort(names.begin(), names.end());
    return CKoError::Success();
}

bool IsSubclientFileName(const std::string& name) {
    return name.size() > std::string_view(ZYSubclientFile::kExtension).size() &&
           FXString::MatchRight(name, ZYSubclientFile::kExtension);
}

}  // namespace

// ZYHubServe -----------------------------------------------------------------------------------

std::shared_ptr<ZYHubServe> ZYHubServe::Current() {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_current) return g_current;
    }
    std::string folder;
    ZYPlatformInfo::getString(kSection, "SubclientConfigDir", folder).IgnoreError();  // none: unreachable
    return ZYFileHubServe::ForFolder(folder);
}

void ZYHubServe::SetCurrent(std::shared_ptr<ZYHubServe> hub) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_current = std::move(hub);
}

bool ZYHubServe::IsUnreachable(const CKoError& e) { return FXErrorUtil::IsErrNo(e, EHOSTUNREACH); }

unsigned ZYHubServe::HubCellId() {
    long long id = 2;
    if (ZYPlatformInfo::getNumber(kSection, "HubCellId", id).IsError() || id <= 0 || id > UINT32_MAX) id = 2;
    return static_cast<unsigned>(id);
}

CKoError ZYHubServe::GetFSBackupsetContent(const ZYSubclientKey& key, int64_t /*queryTime*/, bool /*flag*/,
                                           std::string& backupsetXml, std::string& extensionXml) {
    std::vector<ZYSubclientDefinition> set;
    CKoError e = GetBackupset(key, set);
    if (e.IsError()) return e.Push(ZY_HERE);
    CKoXDocument content, groupings;
    CKoXNodePtr contentRoot, groupingRoot;
    e = content.AppendNode("App_BackupSetInfo", contentRoot);
    if (e.IsSuccess()) e = groupings.AppendNode("App_FileTypesAndExtensionsResp", groupingRoot);
    std::vector<std::pair<std::string, CKoXNodePtr>> fileTypes;  // in the order first met
    for (size_t i = 0; e.IsSuccess() && i < set.size(); ++i) {
        const ZYSubclientDefinition& def = set[i];
        CKoXNodePtr list, entity;
        e = contentRoot->AppendNode("subClientList", list);
        if (e.IsSuccess()) e = list->AppendNode("subClientEntity", entity);
        if (e.IsSuccess()) e = entity->SetAttributeUINT("subclientId", def.id);
        if (e.IsSuccess()) e = entity->SetAttributeString("subclientName", FileScan::EncodeMessageText(def.name));
        for (size_t c = 0; e.IsSuccess() && c < def.content.size(); ++c)
            e = AppendValue(*list, "content", "path", def.content[c].text);
        for (size_t t = 0; e.IsSuccess() && t < def.fileTypes.size(); ++t) {
            const auto& [name, patterns] = def.fileTypes[t];
            auto it = std::find_if(fileTypes.begin(), fileTypes.end(), [&](const auto& f) { return f.first == name; });
            if (it == fileTypes.end()) {
                CKoXNodePtr node;
                e = AppendValue(*groupingRoot, "fileTypeExtensionsList", "fileType", name, &node);
                fileTypes.emplace_back(name, node);
                it = fileTypes.end() - 1;
            }
            for (size_t p = 0; e.IsSuccess() && p < patterns.size(); ++p)
                e = AppendValue(*it->second, "extensionList", "val", patterns[p]);
        }
    }
    if (e.IsSuccess()) e = content.SaveAsString(backupsetXml, kSaveFlags);
    if (e.IsSuccess()) e = groupings.SaveAsString(extensionXml, kSaveFlags);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot build backup-set content, Subclient=[%s]", KeyText(key).c_str());
    return CKoError::Success();
}

CKoError ZYHubServe::GetModifiedFileList(const std::string& request, std::string& response) {
    response.clear();
    App_GetModifiedFileListReq req;
    CKoError e = req.ParseFromString(request);
    if (e.IsError()) return e.Push(ZY_HERE);
    ZYSubclientKey key;
    ZYSubclientDefinition def;
    e = FindSubclient(HubCellId(), req.subclientId, key);
    if (e.IsSuccess()) e = GetSubclient(key, def, false);
    if (e.IsError()) return e.Push(ZY_HERE, "SubclientId=[%u]", req.subclientId);
    if (def.added.empty()) return CKoError::Success();
    CKoXDocument doc;
    CKoXNodePtr root;
    e = doc.AppendNode("App_GetModifiedFileListResp", root);
    for (size_t i = 0; e.IsSuccess() && i < def.added.size(); ++i) e = AppendValue(*root, "files", "val", def.added[i].text);
    if (e.IsSuccess()) e = doc.SaveAsString(response, kSaveFlags);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot build the modified-file list, SubclientId=[%u]", req.subclientId);
    return CKoError::Success();
}

namespace {

// Runs `take` on the subclient's definition.
template <class Take>
CKoError WithDefinition(ZYHubServe& hub, const ZYSubclientKey& key, Take take) {
    ZYSubclientDefinition def;
    CKoError e = hub.GetSubclient(key, def);
    if (e.IsError()) return e.Push(ZY_HERE);
    take(def);
    return CKoError::Success();
}

}  // namespace

CKoError ZYHubServe::GetFilters(const ZYSubclientKey& key, int type, int64_t /*asOf*/, std::vector<std::string>& out) {
    out.clear();
    if (type < ZY_YESDIRS_BACKUP_FILTERS || type > ZY_NOFILES_BACKUP_FILTERS)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "Unknown filter type, FilterType=[%d]",
                                       type);
    return WithDefinition(*this, key, [&](const ZYSubclientDefinition& def) {
        if (type == ZY_NODIRS_BACKUP_FILTERS) out = ZYSubclientDefinition::Texts(def.filters);
        if (type == ZY_YESDIRS_BACKUP_FILTERS) out = ZYSubclientDefinition::Texts(def.exceptions);
    });
}

CKoError ZYHubServe::GetRawFiles(const ZYSubclientKey& key, std::vector<std::string>& out) {
    return WithDefinition(*this, key,
                          [&](const ZYSubclientDefinition& def) { out = ZYSubclientDefinition::Texts(def.content); });
}

CKoError ZYHubServe::GetNumberOfStreams(const ZYSubclientKey& key, int& streams) {
    return WithDefinition(*this, key, [&](const ZYSubclientDefinition& def) { streams = def.readers; });
}

CKoError ZYHubServe::GetLastBackupStartTime(const ZYSubclientKey& key, int64_t& unixTime) {
    return WithDefinition(*this, key, [&](const ZYSubclientDefinition& def) { unixTime = def.lastBackupTime; });
}

// ZYFileHubServe -------------------------------------------------------------------------------

std::shared_ptr<ZYFileHubServe> ZYFileHubServe::ForFolder(std::string folder) {
    return std::shared_ptr<ZYFileHubServe>(new ZYFileHubServe(std::move(folder), false));
}

std::shared_ptr<ZYFileHubServe> ZYFileHubServe::ForFile(std::string file) {
    return std::shared_ptr<ZYFileHubServe>(new ZYFileHubServe(std::move(file), true));
}

CKoError ZYFileHubServe::CheckReachable() const {
    long long offline = 0;
    if (ZYPlatformInfo::getNumber(kSection, "HubServeOffline", offline).IsSuccess() && offline != 0)
        return FXErrorUtil::ErrorErrNo(ZY_HERE, EHOSTUNREACH, "HubServe cannot be reached (HubServeOffline is set)");
    if (m_oneFile) return CKoError::Success();
    if (m_location.empty())
        return FXErrorUtil::ErrorErrNo(ZY_HERE, EHOSTUNREACH,
                                       "HubServe cannot be reached: no subclient store (setting SubclientConfigDir)");
    FXFileStat st;
    CKoError e = FXEnv::Current()->Stat(m_location, st, true);
    if (e.IsError() || !st.IsDirectory())
        return FXErrorUtil::ErrorErrNo(ZY_HERE, EHOSTUNREACH, "HubServe cannot be reached: subclient store [%s] %s",
                                       m_location.c_str(), e.IsError() ? e.GetMessage().c_str() : "is not a folder");
    return CKoError::Success();
}

CKoError ZYFileHubServe::PathOf(const ZYSubclientKey& key, std::string& path) const {
    if (m_oneFile) {
        path = m_location;
        return CKoError::Success();
    }
    if (!IsSafeName(key.client) || !IsSafeName(key.backupset) || !IsSafeName(key.subclient))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "Bad subclient name, Subclient=[%s]",
                                       KeyText(key).c_str());
    path = m_location + "/" + key.client + "/" + key.backupset + "/" + key.subclient + ZYSubclientFile::kExtension;
    return CKoError::Success();
}

CKoError ZYFileHubServe::GetSubclient(const ZYSubclientKey& key, ZYSubclientDefinition& out, bool checkContent) {
    std::string path;
    CKoError e = CheckReachable();
    if (e.IsSuccess()) e = PathOf(key, path);
    if (e.IsSuccess()) e = ZYSubclientFile::Load(path, out, checkContent);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError ZYFileHubServe::FindSubclient(unsigned hubCellId, unsigned appId, ZYSubclientKey& key) {
    CKoError e = CheckReachable();
    if (e.IsError()) return e.Push(ZY_HERE);
    if (hubCellId != HubCellId())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND, "Not this server's hub cell, HubCellId=[%u]",
                                       hubCellId);
    if (m_oneFile) {
        ZYSubclientDefinition def;
        e = ZYSubclientFile::Load(m_location, def, false);
        if (e.IsError()) return e.Push(ZY_HERE);
        if (def.id != appId)
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND,
                                           "No subclient with this application id, AppId=[%u], File=[%s]", appId,
                                           m_location.c_str());
        key = {std::string(), std::string(), def.name};
        return CKoError::Success();
    }
    // The store has a handful of subclients: read them all. A file that does not parse is
    // skipped, but reported when no other file has the id (it may be the one asked for).
    std::vector<ZYSubclientKey> found;
    CKoError firstBroken;
    std::vector<std::string> clients, sets, files;
    e = ListFolder(m_location, clients);
    for (size_t c = 0; e.IsSuccess() && c < clients.size(); ++c) {
        const std::string clientDir = m_location + "/" + clients[c];
        if (ListFolder(clientDir, sets).IsError()) continue;  // not a folder
        for (const std::string& set : sets) {
            if (ListFolder(clientDir + "/" + set, files).IsError()) continue;
            for (const std::string& file : files) {
                if (!IsSubclientFileName(file)) continue;
                ZYSubclientDefinition def;
                CKoError le = ZYSubclientFile::Load(clientDir + "/" + set + "/" + file, def, false);
                if (le.IsError()) {
                    if (firstBroken.IsSuccess()) firstBroken = le;
                    continue;
                }
                if (def.id != appId) continue;
                const size_t stem = file.size() - std::string_view(ZYSubclientFile::kExtension).size();
                found.push_back({clients[c], set, file.substr(0, stem)});
            }
        }
    }
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot list subclient store [%s]", m_location.c_str());
    if (found.size() > 1)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                       "Two subclients have application id %u: [%s] and [%s]", appId,
                                       KeyText(found[0]).c_str(), KeyText(found[1]).c_str());
    if (found.empty()) {
        if (firstBroken.IsError())
            return firstBroken.Push(ZY_HERE, "No readable subclient with application id %u", appId);
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND,
                                       "No subclient with this application id, AppId=[%u], Store=[%s]", appId,
                                       m_location.c_str());
    }
    key = found[0];
    return CKoError::Success();
}

CKoError ZYFileHubServe::GetBackupset(const ZYSubclientKey& key, std::vector<ZYSubclientDefinition>& out) {
    out.clear();
    ZYSubclientDefinition asked;
    CKoError e = GetSubclient(key, asked);
    if (e.IsError()) return e.Push(ZY_HERE);
    if (m_oneFile) {
        out.push_back(std::move(asked));
        return CKoError::Success();
    }
    const std::string folder = m_location + "/" + key.client + "/" + key.backupset;
    std::vector<std::string> files;
    e = ListFolder(folder, files);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot list backup set [%s]", folder.c_str());
    for (const std::string& file : files) {
        if (!IsSubclientFileName(file)) continue;
        if (file == key.subclient + ZYSubclientFile::kExtension) {
            out.push_back(asked);
            continue;
        }
        // The other subclients' content may lie on other machines: it is served as written.
        ZYSubclientDefinition def;
        e = ZYSubclientFile::Load(folder + "/" + file, def, false);
        if (e.IsError()) return e.Push(ZY_HERE);
        out.push_back(std::move(def));
    }
    return CKoError::Success();
}
