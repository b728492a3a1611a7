#include "scan/trueup/TrueUpIndexContentCallback.h"

#include "core/Env.h"
#include "core/LogWriter.h"
#include "core/StringUtil.h"
#include "scan/trueup/TrueUpDirChangeItemDataImpl.h"

CTrueUpIndexContentCallback::CTrueUpIndexContentCallback(EDirChangeMethod method, std::string fileName,
                                                         std::string containerName, CAbortOperationCheckPtr abortCheck)
    : m_method(method),
      m_fileName(std::move(fileName)),
      m_containerName(std::move(containerName)),
      m_abortCheck(std::move(abortCheck)) {}

CTrueUpIndexContentCallback::~CTrueUpIndexContentCallback() = default;

CKoError CTrueUpIndexContentCallback::Initialize() {
    const bool container = m_method == EDirChangeMethod::DIRCHANGE_METHOD_CONTAINER;
    const std::string& name = container ? m_containerName : m_fileName;
    if (name.empty())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER,
                                       container ? "TrueUp DirChange container name not configured"
                                                 : "TrueUp DirChange file name not configured");
    CKoError e = CTrueUpDirChangeWriter::Create(m_method, name, m_writer);
    if (e.IsSuccess()) e = m_writer->Open();
    if (e.IsError()) return e.Push(ZY_HERE, "FileName=[%s]", name.c_str());
    return CKoError::Success();
}

bool CTrueUpIndexContentCallback::Fail(CKoError error) {
    m_failure = std::move(error);
    return false;
}

bool CTrueUpIndexContentCallback::processResp(CNMessageBase* message) {
    auto* reply = dynamic_cast<databrowse::BrowseReply*>(message);
    if (!reply) {
        ZYLOG(2, "Not a browse reply, MessageType=[%d]", message ? message->GetMessageType() : -1);
        return true;
    }
    ZYLOG(3, "TagId=[%llu]", static_cast<unsigned long long>(reply->tagId));
    if (!m_writer)
        return Fail(FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE,
                                            "The TrueUp DirChange was not initialised"));
    if (reply->status == databrowse::BROWSE_STATUS_PARTIAL) {
        ZYLOG_ERROR("Browse returned partial result set; Fail TrueUp DirChange processing");
        return Fail(FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                            "Browse returned partial result set; Fail TrueUp DirChange processing"));
    }
    if (reply->status == databrowse::BROWSE_STATUS_ERROR) {
        ZYLOG_ERROR("Browse response returned error; Fail TrueUp DirChange processing");
        return Fail(FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FUNCTION_FAILED,
                                            "Browse response returned error; Fail TrueUp DirChange processing, "
                                            "Error=[%s]",
                                            reply->errorText.c_str()));
    }
    if (reply->items.empty()) {
        ZYLOG(2, "Browse returned empty result set");
        return true;
    }
    for (const databrowse::BrowseItem& item : reply->items)
        if (!ProcessItem(item)) return false;
    return true;
}

bool CTrueUpIndexContentCallback::ProcessItem(const databrowse::BrowseItem& item) {
    if (m_abortCheck && m_abortCheck->IsAborted()) {
        ZYLOG(0, "TrueUp job interrupted");
        return Fail(FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OPERATION_ABORTED, "TrueUp job interrupted"));
    }
    // Every item of the reply takes part in the order check, including those left out below: an
    // index that lists an item twice or out of order is not one to trust with what was backed up.
    if (!databrowse::BrowseItemKey(item.path, m_parentKey, m_name))
        return Fail(FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                            "Browse reply holds an item that is not an absolute path, Item=[%s]",
                                            item.path.c_str()));
    if (m_started) {
        const int order = m_parentKey.compare(m_lastParentKey);
        if (order < 0 || (order == 0 && m_name.compare(m_lastName) <= 0))
            return Fail(FXErrorUtil::ErrorWin32(
                ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                "Browse reply names an item twice or out of order, Item=[%s], PreviousItem=[%s%s]", item.path.c_str(),
                m_lastParentKey.c_str(), m_lastName.c_str()));
    }
    m_lastParentKey.swap(m_parentKey);
    m_lastName.swap(m_name);
    m_started = true;

    if (FXString::MatchLeft(item.path, "/tmp/bootcd.tar.gz") || FXString::MatchLeft(item.path, "/tmp/ZYrearRescue.iso"))
        return true;
    ZYLOG(3, "Item=[%s]", item.path.c_str());
    if (item.adhoc) {
        ZYLOG(3, "Skipping Ad-Hoc item, FilePath=[%s]", item.path.c_str());
        return true;
    }
    if (item.deleted) {
        ZYLOG(3, "Item is set for deletion in the index, not adding to DirChange, FilePath=[%s]", item.path.c_str());
        return true;
    }
    CTrueUpDirChangeItemDataPtr data;
    try {
        data = std::make_shared<CTrueUpDirChangeItemDataImpl>(TrueUpTimeFromUnix(item.modificationTime),
                                                              TrueUpTimeFromUnix(item.changeTime), item.size, false,
                                                              false, item.dataGuid, item.stub);
    } catch (const std::bad_alloc&) {
        ZYLOG_ERROR("Failed to allocate memory");
        ++m_failedItems;
        return true;
    }
    const std::string path = item.path.size() > 1 && item.path.back() == '/' ? m_lastParentKey + m_lastName : item.path;
    CKoError e = m_writer->AddItem(path, item.folder, data);
    const char* kind = item.folder ? "folder" : "file";
    if (e.IsError()) {
        // The item is missing from what the backups hold: it is reported as new, never lost.
        ZYLOG_ERROR("Failed to add %s to TrueUp DirChange, %s=[%s], error=%s", kind, item.folder ? "Folder" : "File",
                    path.c_str(), e.AsString().c_str());
        ++m_failedItems;
        return true;
    }
    ZYLOG(5, "Added %s to TrueUp DirChange, File=[%s]", kind, path.c_str());
    ++m_items;
    return true;
}

CKoError CTrueUpIndexContentCallback::Complete() {
    if (!m_writer)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "The TrueUp DirChange was not initialised");
    const std::string origin =
        FXString::Format("Generated by TrueUp Indexing Query on %s, returning %lld items",
                         CTimeStamp::FromUnixTime(0, FXEnv::Current()->NowMicros()).AsString().c_str(),
                         static_cast<long long>(m_items));
    CKoError e = m_writer->Complete(origin, m_query);
    m_writer.reset();
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

void CTrueUpIndexContentCallback::Abandon() {
    if (m_writer) m_writer->Abandon();
    m_writer.reset();
}
