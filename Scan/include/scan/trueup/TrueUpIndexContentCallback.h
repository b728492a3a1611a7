// Builds the TrueUp DirChange (what the backups hold) from the reply pages of an index browse.
//
// Each reply item becomes a TrueUp record with the index's modification and change times, size,
// data GUID and stub mark; ad-hoc items, items the index marks deleted and the recovery images
// "/tmp/bootcd.tar.gz" and "/tmp/ZYrearRescue.iso" are left out. A partial or failed reply, an
// abort, and a reply whose items are not in strictly increasing browse order
// (databrowse::BrowseItemKey: an item named twice, or out of order) stop the browse; the record
// is then never completed and GetFailure says why.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "agent/IndexBrowse.h"
#include "core/KoError.h"
#include "scan/dirchange/AbortOperationCheck.h"
#include "scan/dirchange/DirChangeItemFlags.h"
#include "scan/trueup/TrueUpDirChangeWriter.h"

class CTrueUpIndexContentCallback : public IdxBrowseClientResp {
public:
    // `fileName` serves the file method, `containerName` the container method.
    CTrueUpIndexContentCallback(EDirChangeMethod method, std::string fileName, std::string containerName,
                                CAbortOperationCheckPtr abortCheck);
    ~CTrueUpIndexContentCallback() override;

    // Removes a TrueUp DirChange left by an earlier run and opens a new one.
    CKoError Initialize();
    bool processResp(CNMessageBase* message) override;
    // Writes what is left and puts the record in place.
    CKoError Complete();
    // Removes what was written (the browse failed).
    void Abandon();

    void SetIndexingQuery(const std::string& query) { m_query = query; }
    int64_t GetItemCount() const { return m_items; }
    int64_t GetFailedItemCount() const { return m_failedItems; }
    // Why processResp stopped the browse (success when it did not).
    const CKoError& GetFailure() const { return m_failure; }

private:
    bool Fail(CKoError error);
    bool ProcessItem(const databrowse::BrowseItem& item);

    EDirChangeMethod m_method;
    std::string m_fileName, m_containerName;
    CAbortOperationCheckPtr m_abortCheck;
    std::unique_ptr<CTrueUpDirChangeWriter> m_writer;
    std::string m_query;
    int64_t m_items = 0;
    int64_t m_failedItems = 0;
    CKoError m_failure;
    std::string m_lastParentKey, m_lastName, m_parentKey, m_name;
    bool m_started = false;
};
