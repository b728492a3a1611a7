// The TrueUp rules over two flat DirChange files loaded into one flat-file index: index 1 is the
// TrueUp DirChange (the previous backing file: what the backups hold), index 2 the comparison
// DirChange (the current backing file: what the file system holds). Differences go to the
// caller's difference callback; one that fails ends the comparison with its error.
#pragma once

#include <memory>
#include <string>

#include "scan/dirchange/PathCacheFlatFileIndexCompareCallback.h"
#include "scan/trueup/TrueUpCompareOptions.h"
#include "scan/trueup/TrueUpDifferenceCallback.h"

class CTrueUpDifferenceRules;

class CTrueUpDirChangeCompareCallback : public CPathCacheFlatFileIndexCompareCallback {
public:
    CTrueUpDirChangeCompareCallback(CTrueUpDifferenceCallbackPtr differenceCallback, CAbortOperationCheckPtr abortCheck,
                                    CTrueUpCompareOptionsPtr options);
    ~CTrueUpDirChangeCompareCallback() override;

    bool IsAborted() override;
    CKoError OnInIndex1(const std::string& folder, const CacheNodePtr& node) override;
    CKoError OnInIndex1(const std::string& path, const std::string& folder, const std::string& name,
                        const FVBasePtr& item) override;
    // A folder only in the comparison DirChange is new.
    CKoError OnInIndex2(const std::string& folder, const CacheNodePtr& node) override;
    CKoError OnInIndex2(const std::string& path, const std::string& folder, const std::string& name,
                        const FVBasePtr& item) override;
    CKoError OnInBothIndexes(const std::string& folder, const CacheNodePtr& node1, const CacheNodePtr& node2) override;
    CKoError OnInBothIndexes(const std::string& path, const std::string& folder, const std::string& name,
                             const FVBasePtr& item1, const FVBasePtr& item2) override;

private:
    std::unique_ptr<CTrueUpDifferenceRules> m_rules;
};
