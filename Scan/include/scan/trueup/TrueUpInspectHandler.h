// Inspects the items of one root of the TrueUp stub scan: counts each, decides whether it is a
// stub of archived data, and writes the stubs to the backup set's stub GUID file. Which items are
// stubs is the platform's business (IsQuillfernStub, WriteToOutputFile); the base finds none.
#pragma once

#include <memory>
#include <string>

#include "agent/BasicScanner.h"
#include "scan/trueup/TrueUpInspectOptions.h"

class CTrueUpInspectHandler : public IBasicScannerOutputHandler {
public:
    void SetOptions(CTrueUpInspectOptionsPtr options) { m_options = std::move(options); }
    void SetBackupSetId(uint32_t backupSetId) { m_backupSetId = backupSetId; }

    CKoError Initialize() override;
    CKoError OnItem(const std::shared_ptr<CItem>& item) override;
    CKoError Complete() override;

    // Only regular files can be stubs; for them the stub test decides (and a stub is written).
    virtual CKoError BasicEvaluation(const std::shared_ptr<CItem>& item, bool& include, std::string& reason);
    int64_t GetEvaluated() const { return m_evaluated; }

protected:
    virtual bool IsQuillfernStub(const CItem& item, std::string& guid);
    virtual CKoError WriteToOutputFile(const CItem& item, const std::string& guid);

    CTrueUpInspectOptionsPtr m_options;
    uint32_t m_backupSetId = 0;
    int64_t m_evaluated = 0;
};
