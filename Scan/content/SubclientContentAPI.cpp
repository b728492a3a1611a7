#include "scan/content/SubclientContentAPI.h"

#include <cerrno>

#include "agent/ApplicationId.h"
#include "agent/DaxMessages.h"
#include "agent/HubServe.h"
#include "agent/PlatformServices.h"
#include "core/Env.h"
#include "core/LogWriter.h"
#include "core/StringUtil.h"

namespace {

constexpr size_t kFolderBufferSize = 1024;

void StripMoniker(std::string& s) {
    FXString::RemoveLeft(s, "/");
    FXString::RemoveLeft(s, "\\");
    FXString::RemoveLeft(s, "%");
    FXString::RemoveRight(s, "%");
}

void AppendItems(const char* heading, std::vector<std::string>& items, std::vector<std::string>& out) {
    ZYLOG(2, "%s", heading);
    for (std::string& item : items) {
        if (CSubclientContentAPI::IsMonikerPath(item)) StripMoniker(item);
        ZYLOG(2, "\t %s", item.c_str());
        out.push_back(std::move(item));
    }
}

// The raw filters of two types, in that order.
CKoError GetTwoFilterTypes(ApplicationId& appId, int first, const char* firstName, int second,
                           const char* secondName, const char* heading, std::vector<std::string>& out) {
    std::shared_ptr<Subclient> subclient;
    CKoError e = appId.getSubclient(subclient);
    if (e.IsError()) return e.Push(ZY_HERE);
    std::vector<std::string> a, b;
    e = subclient->getRawFilters(first, a);
    if (e.IsError()) return e.Push(ZY_HERE, "getRawFilters(%s) failed", firstName);
    e = subclient->getRawFilters(second, b);
    if (e.IsError()) return e.Push(ZY_HERE, "getRawFilters(%s) failed", secondName);
    a.insert(a.end(), std::make_move_iterator(b.begin()), std::make_move_iterator(b.end()));
    AppendItems(heading, a, out);
    return CKoError::Success();
}

}  // namespace

bool CSubclientContentAPI::IsMonikerPath(const std::string& s) {
    return s.size() >= 3 && (s[0] == '/' || s[0] == '\\') && s[1] == '%' && s.back() == '%';
}

CKoError CSubclientContentAPI::GetContent(ApplicationId& appId, std::vector<std::string>& content) {
    std::shared_ptr<Subclient> subclient;
    CKoError e = appId.getSubclient(subclient);
    if (e.IsError()) return e.Push(ZY_HERE);
    std::vector<std::string> files;
    e = subclient->getRawFiles(files);
    if (e.IsError()) return e.Push(ZY_HERE, "getRawFiles failed");
    AppendItems("Content:", files, content);
    return CKoError::Success();
}

CKoError CSubclientContentAPI::GetFilters(ApplicationId& appId, std::vector<std::string>& filters) {
    CKoError e = GetTwoFilterTypes(appId, ZY_NODIRS_BACKUP_FILTERS, "NODIRS", ZY_NOFILES_BACKUP_FILTERS, "NOFILES",
                                   "Filters:", filters);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CSubclientContentAPI::GetFilterExceptions(ApplicationId& appId, std::vector<std::string>& exceptions) {
    CKoError e = GetTwoFilterTypes(appId, ZY_YESDIRS_BACKUP_FILTERS, "YESDIRS", ZY_YESFILES_BACKUP_FILTERS,
                                   "YESFILES", "ExceptionsToFilters:", exceptions);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CSubclientContentAPI::GetContentFromServer(unsigned appId, unsigned hubCellId, const std::string& clientName,
                                                    std::string& xml) {
    const std::string idText = FXString::Format("%u:%u", hubCellId, appId);
    ApplicationId id(idText);
    std::shared_ptr<Subclient> subclient;
    CKoError e = id.getApplicationId();
    if (e.IsSuccess()) e = id.getSubclient(subclient);
    if (e.IsError()) return e.Push(ZY_HERE, "Failed to retrieve subclient(%s)", idText.c_str());
    std::string name;
    e = subclient->getSubclientName(name);
    if (e.IsError()) return e.Push(ZY_HERE, "Error getting the sub-client name for subclient(%s", idText.c_str());
    ZYLOG(2, "Loading content for (%s/%s)", clientName.c_str(), name.c_str());
    Dax::SubclientContentList list;
    e = GetContent(id, list.content);
    if (e.IsError()) return e.Push(ZY_HERE, "GetContent failed");
    e = GetFilters(id, list.filters);
    if (e.IsError()) return e.Push(ZY_HERE, "GetFilters failed");
    e = GetFilterExceptions(id, list.exceptions);
    if (e.IsError()) return e.Push(ZY_HERE, "GetExceptions failed");
    e = list.SerializeToString(xml);
    if (e.IsError()) return e.Push(ZY_HERE, "Failed to serialize (Dax/SubclientContentList)");
    return CKoError::Success();
}

CKoError CSubclientContentAPI::GetContentFromFile(const std::string& file, std::string& xml) {
    std::string text;
    CKoError e = FXReadFileToString(file, text);
    if (e.IsError()) return e.Push(ZY_HERE, "Open(%s) failed", file.c_str());
    Dax::SubclientContentList list;
    e = list.ParseFromString(text);
    if (e.IsError()) return e.Push(ZY_HERE, "Failed to read XML from file(%s)", file.c_str());
    e = list.SerializeToString(xml);
    if (e.IsError())
        return e.Push(ZY_HERE, "Failed to serialize (Dax/SubclientContentList) error-code=%lld", e.GetErrorCode());
    ZYLOG(2, "Reading content from local file [%s]", file.c_str());
    return CKoError::Success();
}

CKoError CSubclientContentAPI::DumpToFile(const std::string& file, const std::string& xml) {
    // The message is checked before the file is touched: a bad one must not replace a good copy.
    Dax::SubclientContentList list;
    std::string text;
    CKoError e = list.ParseFromString(xml);
    if (e.IsSuccess()) e = list.SerializeToString(text);
    if (e.IsError())
        return e.Push(ZY_HERE, "Failed to unserialize (Dax/SubclientContentList) error-code=%lld", e.GetErrorCode());
    text += '\n';
    FXDurableReplace replace(file);
    e = replace.Open();
    if (e.IsError()) return e.Push(ZY_HERE, "open(%s) failed, error=%s", file.c_str(), e.GetMessage().c_str());
    e = replace.Append(text);
    if (e.IsSuccess()) e = replace.Commit();
    if (e.IsError()) return e.Push(ZY_HERE, "Failed to dump XML to file(%s)", file.c_str());
    return CKoError::Success();
}

CKoError CSubclientContentAPI::GetJobResultsDirectory(unsigned hubCellId, unsigned appId, std::string& clientName,
                                                      std::string& folder) {
    if (clientName.empty()) {
        clientName = ZYPI_Focus::getFocusClientName(true);
        ZYLOG(2, "Using client name=[%s] from local registry", clientName.c_str());
    }
    if (!m_jobResultsFolder.empty()) {
        folder = m_jobResultsFolder;
    } else {
        CKoError e = ZYPI_CommClient::getSubclientDirectory(hubCellId, appId, clientName, folder);
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    if (folder.size() >= kFolderBufferSize)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "Job-results folder too long, Folder=[%s]",
                                       folder.c_str());
    return CKoError::Success();
}

CKoError CSubclientContentAPI::CheckIds(unsigned appId, unsigned& hubCellId) const {
    if (appId == 0) return FXErrorUtil::ErrorErrNo(ZY_HERE, EINVAL, "Application ID cannot be zero");
    if (hubCellId == 0) {
        hubCellId = 2;
        ZYLOG(2, "Using HubCellID=2");
    }
    return CKoError::Success();
}

CKoError CSubclientContentAPI::LocalCopyPath(unsigned hubCellId, unsigned appId, const std::string& clientName,
                                             std::string& path) {
    std::string client = clientName, folder;
    CKoError e = GetJobResultsDirectory(hubCellId, appId, client, folder);
    if (e.IsError()) return e.Push(ZY_HERE, "GetJobResultsDirectory failed");
    path = folder + "/" + kLocalCopyName;
    return CKoError::Success();
}

CKoError CSubclientContentAPI::GetSubclientContent(unsigned appId, std::string& xml, unsigned hubCellId,
                                                   const std::string& clientName) {
    std::string path;
    CKoError e = CheckIds(appId, hubCellId);
    if (e.IsSuccess()) e = LocalCopyPath(hubCellId, appId, clientName, path);
    if (e.IsError()) return e.Push(ZY_HERE);
    ZYLOG(2, "Checking local file [%s]", path.c_str());
    FXFileStat st;
    std::string reason = "no local file";
    if (FXEnv::Current()->Stat(path, st).IsSuccess()) {
        e = GetContentFromFile(path, xml);
        if (e.IsSuccess()) {
            CKoError de = DumpToFile(path, xml);
            if (de.IsError()) ZYLOG_ERROR("DumpToFile failed, error=%s", de.AsString().c_str());
            return CKoError::Success();
        }
        reason = e.AsString();
    }
    ZYLOG(2, "[%s] will try to fetch content from server, reason=[%s]", path.c_str(), reason.c_str());
    e = GetContentFromServer(appId, hubCellId, clientName, xml);
    if (e.IsError()) return e.Push(ZY_HERE, "GetContentFromServer failed");
    CKoError de = DumpToFile(path, xml);
    if (de.IsError()) ZYLOG_ERROR("DumpToFile failed, error=%s", de.AsString().c_str());
    return CKoError::Success();
}

CKoError CSubclientContentAPI::RefreshLocalCache(unsigned appId, unsigned hubCellId, const std::string& clientName) {
    std::string path, xml;
    CKoError e = CheckIds(appId, hubCellId);
    if (e.IsSuccess()) e = LocalCopyPath(hubCellId, appId, clientName, path);
    if (e.IsError()) return e.Push(ZY_HERE);
    e = GetContentFromServer(appId, hubCellId, clientName, xml);
    if (e.IsError()) return e.Push(ZY_HERE, "GetContentFromServer failed");
    e = DumpToFile(path, xml);
    if (e.IsError()) return e.Push(ZY_HERE, "DumpToFile failed");
    return CKoError::Success();
}

CKoError CSubclientContentAPI::GetSubclientContentForJob(unsigned appId, unsigned hubCellId,
                                                         const std::string& clientName, std::string& xml,
                                                         SSubclientContentOrigin& origin) {
    origin = SSubclientContentOrigin();
    CKoError e = CheckIds(appId, hubCellId);
    if (e.IsSuccess()) e = LocalCopyPath(hubCellId, appId, clientName, origin.localCopy);
    if (e.IsError()) return e.Push(ZY_HERE);
    e = GetContentFromServer(appId, hubCellId, clientName, xml);
    if (e.IsSuccess()) {
        CKoError de = DumpToFile(origin.localCopy, xml);
        if (de.IsError()) {
            origin.reason = "the local copy was not refreshed: " + de.GetMessage();
            ZYLOG_ERROR("DumpToFile failed, error=%s", de.AsString().c_str());
        }
        return CKoError::Success();
    }
    if (!ZYHubServe::IsUnreachable(e)) return e.Push(ZY_HERE, "GetContentFromServer failed");
    origin.fromLocalCopy = true;
    origin.reason = e.GetMessage();
    CKoError le = GetContentFromFile(origin.localCopy, xml);
    if (le.IsError())
        return le.Push(ZY_HERE, "The server cannot be reached (%s) and the local copy cannot be used",
                       origin.reason.c_str());
    ZYLOG(0, "Content from the local copy [%s]: %s", origin.localCopy.c_str(), origin.reason.c_str());
    return CKoError::Success();
}
