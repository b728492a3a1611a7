// A browse client for tests: hands the pages it was given to the handler, in order, and returns
// the codes it was told to; it keeps the request it was initialised with.
#pragma once

#include <vector>

#include "agent/IndexBrowse.h"

class CScriptedIdxBrowseClient : public IdxBrowseClient {
public:
    void AddPage(databrowse::BrowseReply page) { m_pages.push_back(std::move(page)); }
    void SetInitializeResult(int result) { m_initializeResult = result; }
    // Returned by Browse after every page was handed over (a handler that stops the browse makes
    // it return kBrowseStoppedByHandler).
    void SetBrowseResult(int result) { m_browseResult = result; }

    int Initialize(const databrowse::BrowseRequest& request, IdxBrowseClientResp* handler, int pageSize,
                   void* reserved1, void* reserved2) override;
    int Browse() override;
    CKoError GetLastError() const override { return m_lastError; }

    const databrowse::BrowseRequest& GetRequest() const { return m_request; }
    int GetPageSize() const { return m_pageSize; }
    size_t GetPagesHandedOver() const { return m_handedOver; }

private:
    std::vector<databrowse::BrowseReply> m_pages;
    databrowse::BrowseRequest m_request;
    IdxBrowseClientResp* m_handler = nullptr;
    int m_pageSize = 0;
    int m_initializeResult = 0;
    int m_browseResult = 0;
    size_t m_handedOver = 0;
    CKoError m_lastError;
};
