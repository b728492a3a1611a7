#include "scan/content/SubclientConfiguration.h"

#include <new>

#include "agent/ApplicationId.h"
#include "agent/DaxMessages.h"
#include "agent/FileScanMessages.h"
#include "core/KoXml.h"
#include "core/LogWriter.h"
#include "core/StringUtil.h"

class CSubclientConfigurationPrivate {
public:
    CTimeStamp queryTime;
    std::shared_ptr<CExtensionGroupings> groupings = std::make_shared<CExtensionGroupings>();
    std::map<uint32_t, CSubclientInfo> subclients;
    std::vector<CContentItem> newContent;
};

namespace {

CKoError NullSubclient(const FXCodeLocation& loc) {
    return FXErrorUtil::ErrorWin32(loc, ZyWin32::ERROR_INVALID_PARAMETER, "Subclient is NULL");
}

// An escaped attribute value of a server document; false when missing or badly escaped.
bool ReadValue(const CKoXNode& node, const char* name, std::string& value) {
    std::string raw;
    return node.GetAttributeAsString(name, raw).IsSuccess() && FileScan::DecodeMessageText(raw, value);
}

const char* FilterTypeName(int type) {
    switch (type) {
        case ZY_YESDIRS_BACKUP_FILTERS: return "ZY_YESDIRS_BACKUP_FILTERS";
        case ZY_NODIRS_BACKUP_FILTERS: return "ZY_NODIRS_BACKUP_FILTERS";
        case ZY_YESFILES_BACKUP_FILTERS: return "ZY_YESFILES_BACKUP_FILTERS";
        case ZY_NOFILES_BACKUP_FILTERS: return "ZY_NOFILES_BACKUP_FILTERS";
        default: return "UNKNOWN";
    }
}

CKoError DecodeGroupings(const std::string& xml, CExtensionGroupings& groupings) {
    CKoXDocument doc;
    std::vector<CKoXNodePtr> lists, values;
    CKoError e = doc.LoadFromString(xml);
    if (e.IsSuccess()) e = doc.SelectNodes("./App_FileTypesAndExtensionsResp/fileTypeExtensionsList", lists);
    for (size_t i = 0; e.IsSuccess() && i < lists.size(); ++i) {
        std::string fileType;
        if (!ReadValue(*lists[i], "fileType", fileType)) {
            e = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "Bad fileType");
            break;
        }
        ZYLOG(4, "FileType=[%s]", fileType.c_str());
        std::shared_ptr<CExtensionGroupingInfo> info = groupings.FindOrAdd(fileType);
        e = lists[i]->SelectNodes("extensionList", values);
        for (size_t v = 0; e.IsSuccess() && v < values.size(); ++v) {
            std::string val;
            if (!ReadValue(*values[v], "val", val)) {
                e = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "Bad extension value");
                break;
            }
            ZYLOG(4, "Val=[%s]", val.c_str());
            FXString::ReplaceAll(val, "\\/\\/", "");
            info->AddExtension(std::make_shared<CContentItem>(std::move(val)));
        }
    }
    if (e.IsError()) return e.Push(ZY_HERE, "LoadFromString failed, ExtensionGrouping=[%s]", xml.c_str());
    return CKoError::Success();
}

CKoError DecodeBackupset(const std::string& xml, std::map<uint32_t, CSubclientInfo>& subclients) {
    CKoXDocument doc;
    std::vector<CKoXNodePtr> lists, contents;
    CKoError e = doc.LoadFromString(xml);
    if (e.IsSuccess()) e = doc.SelectNodes("./App_BackupSetInfo/subClientList", lists);
    for (size_t i = 0; e.IsSuccess() && i < lists.size(); ++i) {
        CKoXNodePtr entity = lists[i]->GetNode("subClientEntity");
        unsigned id = 0;
        std::string name;
        if (!entity->Exists() || entity->GetAttributeAsUINT("subclientId", id).IsError() ||
            !ReadValue(*entity, "subclientName", name)) {
            e = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "Bad subClientEntity");
            break;
        }
        ZYLOG(4, "SubclientId=[%u], SubclientName=[%s]", id, name.c_str());
        CSubclientInfo& info = subclients[id] = CSubclientInfo(id, name);
        e = lists[i]->SelectNodes("content", contents);
        for (size_t c = 0; e.IsSuccess() && c < contents.size(); ++c) {
            std::string path;
            if (!ReadValue(*contents[c], "path", path)) {
                e = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "Bad content path");
                break;
            }
            ZYLOG(4, "Path=[%s]", path.c_str());
            info.GetContent().push_back(std::make_shared<CContentItem>(std::move(path)));
        }
    }
    if (e.IsError()) return e.Push(ZY_HERE, "LoadFromString failed, BackupsetContent=[%s]", xml.c_str());
    return CKoError::Success();
}

}  // namespace

CSubclientConfiguration::CSubclientConfiguration() : m_p(std::make_shared<CSubclientConfigurationPrivate>()) {}
CSubclientConfiguration::~CSubclientConfiguration() = default;

void CSubclientConfiguration::SetQueryTime(CTimeStamp time) { m_p->queryTime = time; }
CTimeStamp CSubclientConfiguration::GetQueryTime() const { return m_p->queryTime; }

std::shared_ptr<CExtensionGroupings> CSubclientConfiguration::GetExtensionGroupings() const { return m_p->groupings; }
const std::map<uint32_t, CSubclientInfo>& CSubclientConfiguration::GetSubclients() const { return m_p->subclients; }
const std::vector<CContentItem>& CSubclientConfiguration::GetNewContentSinceLastBackup() const {
    return m_p->newContent;
}

CKoError CSubclientConfiguration::SetLastBackupTimeAsQueryTime(Subclient* subclient) {
    if (!subclient) return NullSubclient(ZY_HERE);
    int64_t unixTime = 0;
    CKoError e = subclient->getLastBackupStartTime(unixTime);
    if (e.IsError()) return e.Push(ZY_HERE, "getLastBackupStartTime failed");
    m_p->queryTime = CTimeStamp::FromUnixTime(unixTime);
    ZYLOG(2, "SubclientQueryTime=[%s (%lld)]", m_p->queryTime.AsString().c_str(), static_cast<long long>(unixTime));
    return CKoError::Success();
}

CKoError CSubclientConfiguration::Load(ApplicationId& appId, Subclient* subclient, bool flag) {
    CKoError e = GetRawContent(appId, subclient, flag);
    if (e.IsError()) return e.Push(ZY_HERE);
    e = GetRawNewContentSinceLastBackup(subclient);
    if (e.IsError()) return e.Push(ZY_HERE);
    for (int type : {ZY_YESDIRS_BACKUP_FILTERS, ZY_YESFILES_BACKUP_FILTERS, ZY_NODIRS_BACKUP_FILTERS,
                     ZY_NOFILES_BACKUP_FILTERS}) {
        e = GetRawFilterItems(subclient, type);
        if (e.IsError()) return e.Push(ZY_HERE, "GetRawFilterItems(%s) failed", FilterTypeName(type));
    }
    return CKoError::Success();
}

CKoError CSubclientConfiguration::GetRawContent(ApplicationId& appId, Subclient* subclient, bool flag) {
    if (!subclient) return NullSubclient(ZY_HERE);
    if (!subclient->isConfigurable()) return CKoError::Success();
    std::string backupsetXml, extensionXml;
    CKoError e = subclient->getFSBackupsetContent(appId.getHubCellId(), appId.getAppId(), appId.getClientName(),
                                                  appId.getBackupsetName(), appId.getSubclientName(),
                                                  m_p->queryTime.AsUnixTime(), flag, backupsetXml, extensionXml);
    if (e.IsError())
        return e.Push(ZY_HERE, "getFSBackupsetContent failed, SubclientId=[%lu]",
                      static_cast<unsigned long>(appId.getAppId()));
    try {
        ZYLOG(4, "ExtensionGrouping=[%s]", extensionXml.c_str());
        e = DecodeGroupings(extensionXml, *m_p->groupings);
        if (e.IsError()) return e.Push(ZY_HERE);
        ZYLOG(4, "BackupsetContent=[%s]", backupsetXml.c_str());
        e = DecodeBackupset(backupsetXml, m_p->subclients);
        if (e.IsError()) return e.Push(ZY_HERE);
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Out of memory loading content");
    }
    return CKoError::Success();
}

CKoError CSubclientConfiguration::GetRawNewContentSinceLastBackup(Subclient* subclient) {
    if (!subclient) return NullSubclient(ZY_HERE);
    if (!subclient->isConfigurable()) return CKoError::Success();
    App_GetModifiedFileListReq request;
    request.queryTime = m_p->queryTime.AsUnixTime();
    CKoError e = subclient->getSubclientId(request.subclientId);
    std::string requestXml, response;
    if (e.IsSuccess()) e = request.SerializeToString(requestXml);
    if (e.IsError()) return e.Push(ZY_HERE);
    ZYLOG(4, "Request=[%s]", requestXml.c_str());
    e = subclient->getHub()->GetModifiedFileList(requestXml, response);
    if (e.IsError()) {
        // Only what was added since the last backup is missing; the job goes on with the rest.
        ZYLOG_ERROR("HubServe failed to recognize GetModifiedFileListReq request, no new content information "
                    "retrieved, error=[%s]",
                    e.AsString().c_str());
        return CKoError::Success();
    }
    if (response.empty()) {
        ZYLOG(2, "GetModifiedFileListReq response empty, no new subclient content added since previous backup, "
                 "result=[%d]",
              0);
        return CKoError::Success();
    }
    ZYLOG(4, "Response=[%s]", response.c_str());
    CKoXDocument doc;
    std::vector<CKoXNodePtr> files;
    std::vector<CContentItem> added;
    e = doc.LoadFromString(response);
    if (e.IsSuccess() && doc.GetRootNode()->GetName() != "App_GetModifiedFileListResp")
        e = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "Unexpected response");
    if (e.IsSuccess()) e = doc.GetRootNode()->SelectNodes("files", files);
    for (size_t i = 0; e.IsSuccess() && i < files.size(); ++i) {
        std::string val;
        if (!ReadValue(*files[i], "val", val)) {
            e = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "Bad files value");
            break;
        }
        ZYLOG(4, "Val=[%s]", val.c_str());
        added.emplace_back(std::move(val));
    }
    if (e.IsError()) return e.Push(ZY_HERE, "LoadFromString failed, NewContentSinceLastBackup=[%s]", response.c_str());
    m_p->newContent = std::move(added);
    return CKoError::Success();
}

CKoError CSubclientConfiguration::GetRawFilterItems(Subclient* subclient, int type) {
    if (!subclient) return NullSubclient(ZY_HERE);
    if (!subclient->isConfigurable()) return CKoError::Success();
    std::vector<std::string> items;
    CKoError e = subclient->getFilters(type, m_p->queryTime.AsUnixTime(), items);
    if (e.IsError()) return e.Push(ZY_HERE, "getFilters failed, FilterType=[%d]", type);
    uint32_t id = 0;
    e = subclient->getSubclientId(id);
    if (e.IsError()) return e.Push(ZY_HERE);
    auto it = m_p->subclients.find(id);
    if (it == m_p->subclients.end())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE, "No content loaded, SubclientId=[%u]", id);
    try {
        auto list = std::make_shared<CContentItemList>();
        for (std::string& item : items) {
            ZYLOG(3, "FilterType=[%d], FilterItem=[%s]", type, item.c_str());
            list->push_back(std::make_shared<CContentItem>(std::move(item), std::make_shared<CContentContext>(true)));
        }
        it->second.SetFilters(type, std::move(list));
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Out of memory, FilterType=[%d]", type);
    }
    return CKoError::Success();
}
