#include "agent/ScriptedIdxBrowseClient.h"

int CScriptedIdxBrowseClient::Initialize(const databrowse::BrowseRequest& request, IdxBrowseClientResp* handler,
                                         int pageSize, void* /*reserved1*/, void* /*reserved2*/) {
    m_request = request;
    m_handler = handler;
    m_pageSize = pageSize;
    if (m_initializeResult < 0)
        m_lastError = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FUNCTION_FAILED, "Scripted initialisation failure");
    return m_initializeResult;
}

int CScriptedIdxBrowseClient::Browse() {
    for (databrowse::BrowseReply& page : m_pages) {
        ++m_handedOver;
        if (!m_handler->processResp(&page)) {
            m_lastError = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OPERATION_ABORTED,
                                                  "The browse reply handler stopped the browse");
            return kBrowseStoppedByHandler;
        }
    }
    if (m_browseResult < 0)
        m_lastError = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FUNCTION_FAILED, "Scripted browse failure");
    return m_browseResult;
}
