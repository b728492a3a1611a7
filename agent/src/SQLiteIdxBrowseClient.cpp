#include "agent/SQLiteIdxBrowseClient.h"

#include "core/LogWriter.h"

int CSQLiteIdxBrowseClient::Initialize(const databrowse::BrowseRequest& request, IdxBrowseClientResp* handler,
                                       int pageSize, void* /*reserved1*/, void* /*reserved2*/) {
    m_request = request;
    m_handler = handler;
    m_pageSize = pageSize > 0 ? static_cast<size_t>(pageSize) : 2000;
    m_lastError = CKoError::Success();
    if (!handler) {
        m_lastError = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "No browse reply handler");
        return kOpenFailed;
    }
    CKoError e = m_index.Open(m_indexPath, false);
    if (e.IsError()) {
        m_lastError = e.Push(ZY_HERE, "Cannot open the index to browse, FileName=[%s]", m_indexPath.c_str());
        return kOpenFailed;
    }
    return 0;
}

int CSQLiteIdxBrowseClient::Browse() {
    if (!m_handler) {
        m_lastError = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "The browse was not initialised");
        return kOpenFailed;
    }
    SBackupIndexPosition position;
    std::vector<SBackupIndexItem> items;
    for (uint64_t tag = 1;; ++tag) {
        databrowse::BrowseReply reply;
        reply.tagId = tag;
        CKoError e = m_index.ReadPage(position, m_pageSize, items);
        if (e.IsError()) {
            m_lastError = e.Push(ZY_HERE, "Browse of the index failed, FileName=[%s]", m_indexPath.c_str());
            reply.status = databrowse::BROWSE_STATUS_ERROR;
            reply.errorText = m_lastError.GetMessage();
            m_handler->processResp(&reply);
            return kReadFailed;
        }
        reply.items.reserve(items.size());
        for (SBackupIndexItem& item : items) {
            databrowse::BrowseItem out;
            out.path = std::move(item.path);
            out.folder = item.folder;
            out.modificationTime = item.modificationTime;
            out.changeTime = item.changeTime;
            out.size = item.size;
            out.dataGuid = std::move(item.dataGuid);
            out.deleted = item.deleted;
            out.adhoc = item.adhoc;
            reply.items.push_back(std::move(out));
        }
        const bool last = items.size() < m_pageSize;
        // The last page may be empty: the handler learns that the result set ended.
        if (!m_handler->processResp(&reply)) {
            m_lastError = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OPERATION_ABORTED,
                                                  "The browse reply handler stopped the browse, Page=[%llu]",
                                                  static_cast<unsigned long long>(tag));
            return kBrowseStoppedByHandler;
        }
        if (last) break;
    }
    return 0;
}
