// The TrueUp rules (TrueUpDirChangeCompareCallback.h) over two DirChange containers: container 1
// is the TrueUp DirChange (what the backups hold), container 2 the comparison DirChange (what the
// file system holds). Metadata that cannot be read counts as absent data: the item is then
// reported (new or modified), never dropped and never reported deleted.
#pragma once

#include <memory>
#include <string>

#include "agent/CompareContentContainers.h"
#include "scan/dirchange/AbortOperationCheck.h"
#include "scan/trueup/TrueUpCompareOptions.h"
#include "scan/trueup/TrueUpDifferenceCallback.h"

class CTrueUpDifferenceRules;

class CTrueUpContentContainerCompareCallback : public CX::CCompareContentContainersCallback {
public:
    CTrueUpContentContainerCompareCallback(CTrueUpDifferenceCallbackPtr differenceCallback,
                                           CAbortOperationCheckPtr abortCheck, CTrueUpCompareOptionsPtr options);
    ~CTrueUpContentContainerCompareCallback() override;

    bool IsAborted() override;

    // The short folder forms are not supported (Win32 50): the comparer then uses the long ones.
    CKoError OnFolderInIndex1(const std::string& path, const std::string& name) override;
    CKoError OnFolderInIndex2(const std::string& path, const std::string& name) override;
    CKoError OnFolderInBothIndexes(const std::string& path, const std::string& name1,
                                   const std::string& name2) override;

    CKoError OnFolderInIndex1(const std::string& path, const std::string& name, bool& recurse) override;
    CKoError OnFolderInIndex2(const std::string& path, const std::string& name, const std::string& metadata) override;
    CKoError OnFolderInBothIndexes(const std::string& path, const std::string& name1, const std::string& name2,
                                   const std::string& metadata1, const std::string& metadata2) override;
    CKoError OnFileInIndex1(const std::string& path, const std::string& name, const std::string& metadata1) override;
    CKoError OnFileInIndex2(const std::string& path, const std::string& name, const std::string& metadata2) override;
    CKoError OnFileInBothIndexes(const std::string& path, const std::string& name, const std::string& metadata1,
                                 const std::string& metadata2) override;

private:
    std::unique_ptr<CTrueUpDifferenceRules> m_rules;
};
