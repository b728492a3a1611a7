// The index browse over the backup index stand-in (BackupIndex.h): reply pages in the index's
// order, deleted and ad-hoc items marked. A damaged index gives an error page (status 3) and a
// negative return code; the time bounds of the request are not applied (every job's items are
// the backups' content).
#pragma once

#include <string>

#include "agent/BackupIndex.h"
#include "agent/IndexBrowse.h"

class CSQLiteIdxBrowseClient : public IdxBrowseClient {
public:
    static constexpr int kOpenFailed = -1;
    static constexpr int kReadFailed = -3;

    explicit CSQLiteIdxBrowseClient(std::string indexPath) : m_indexPath(std::move(indexPath)) {}

    int Initialize(const databrowse::BrowseRequest& request, IdxBrowseClientResp* handler, int pageSize,
                   void* reserved1, void* reserved2) override;
    int Browse() override;
    CKoError GetLastError() const override { return m_lastError; }

    const databrowse::BrowseRequest& GetRequest() const { return m_request; }

private:
    std::string m_indexPath;
    databrowse::BrowseRequest m_request;
    IdxBrowseClientResp* m_handler = nullptr;
    size_t m_pageSize = 2000;
    CSQLiteBackupIndex m_index;
    CKoError m_lastError;
};
