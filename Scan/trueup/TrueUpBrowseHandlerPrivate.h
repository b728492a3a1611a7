// The state of a TrueUp browse handler, and the comparison runs of its two DirChange methods.
#pragma once

#include <atomic>
#include <string>

#include "agent/IndexBrowse.h"
#include "core/KoError.h"
#include "scan/collect/ScanJobType.h"
#include "scan/dirchange/AbortOperationCheck.h"
#include "scan/dirchange/DirChangeItemFlags.h"
#include "scan/trueup/TrueUpCompareOptions.h"
#include "scan/trueup/TrueUpDifferenceCallback.h"

class CTrueUpBrowseHandlerPrivate {
public:
    unsigned long clientId = 0, subclientId = 0;
    int appType = 0;
    unsigned long backupSetId = 0, fromTime = 0, toTime = 0;
    std::string clientName, subclientName;
    int copyPrecedence = 0;
    EDirChangeMethod method;

    std::string trueUpContainerName, comparisonContainerName;
    std::string trueUpFileName, comparisonFileName;
    EScanJobType scanJobType;
    bool queryIndex = false;
    bool snapTape = false;
    CAbortOperationCheckPtr abortCheck;
    std::atomic<bool> quit{false};
    IdxBrowseClientPtr browseClient;

    // By the DirChange method: CompareDirChangeFiles or CompareDirChangeContainers.
    CKoError CompareDirChange(const CTrueUpCompareOptionsPtr& options, const CTrueUpDifferenceCallbackPtr& callback,
                              const CAbortOperationCheckPtr& abortCheck);
    CKoError CompareDirChangeFiles(const CTrueUpCompareOptionsPtr& options, const CTrueUpDifferenceCallbackPtr& callback,
                                   const CAbortOperationCheckPtr& abortCheck);
    CKoError CompareDirChangeContainers(const CTrueUpCompareOptionsPtr& options,
                                        const CTrueUpDifferenceCallbackPtr& callback,
                                        const CAbortOperationCheckPtr& abortCheck);
    CKoError GetBrowseClient(IdxBrowseClientPtr& client);
};
