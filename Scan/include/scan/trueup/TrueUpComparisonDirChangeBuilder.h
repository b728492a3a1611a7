// Writes the comparison DirChange of a TrueUp run: what the file system holds now, one TrueUp
// record per item a walk hands over (modification and change times and size from the item's
// stat). It is an item consumer, so the scanner can feed it directly, and a scan callback for a
// walk of its own (CFileSystemScanner).
//
// Items the walk could not examine are not in the record and would be reported deleted; the
// builder counts the walk's errors and marks such a record incomplete: Complete then fails, and a
// caller that still wants a comparison must ask for it knowingly (SetAcceptScanErrors).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "agent/FileSystemScanner.h"
#include "agent/Item.h"
#include "core/KoError.h"
#include "scan/dirchange/DirChangeItemFlags.h"
#include "scan/trueup/TrueUpDirChangeWriter.h"

class CTrueUpComparisonDirChangeBuilder : public CItemConsumer, public IScanItemCallback {
public:
    CTrueUpComparisonDirChangeBuilder(EDirChangeMethod method, std::string name);
    ~CTrueUpComparisonDirChangeBuilder() override;

    // Removes an earlier record of the name and opens a new one.
    CKoError Initialize();
    CKoError Process(std::shared_ptr<CItem> item) override;
    // Walks `root` into the record.
    CKoError AddTree(const std::string& root);
    CKoError Complete();
    void Abandon();

    void SetAcceptScanErrors(bool on) { m_acceptScanErrors = on; }
    uint64_t GetScanErrors() const { return m_scanErrors; }
    uint64_t GetItemCount() const { return m_writer ? m_writer->GetItemCount() : m_written; }

    // IScanItemCallback
    CKoError OnItem(const std::shared_ptr<CItem>& item, bool& descend) override;
    void OnScanError(const std::string& path, const CKoError& error) override;

private:
    EDirChangeMethod m_method;
    std::string m_name;
    std::unique_ptr<CTrueUpDirChangeWriter> m_writer;
    uint64_t m_scanErrors = 0;
    uint64_t m_written = 0;
    bool m_acceptScanErrors = false;
};
