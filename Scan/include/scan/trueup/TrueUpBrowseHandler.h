// The entry point of a TrueUp run:
//
//   1. GenerateTrueUpDirChange: an index browse of everything the backups hold, written as the
//      TrueUp DirChange (a flat DirChange file or a DirChange container, by the DirChange method).
//   2. The scan writes the comparison DirChange of what the file system holds now, in the same
//      form (CTrueUpComparisonDirChangeBuilder).
//   3. EnumerateDifferences: the two compared, each difference handed to the caller's callback
//      (CTrueUpRepairCollectWriter turns them into a collect file for the next backup).
//
// A run that fails or is aborted leaves no TrueUp DirChange that passes for complete.
#pragma once

#include <memory>
#include <string>

#include "agent/IndexBrowse.h"
#include "core/KoError.h"
#include "scan/collect/ScanJobType.h"
#include "scan/dirchange/AbortOperationCheck.h"
#include "scan/dirchange/DirChangeItemFlags.h"
#include "scan/trueup/TrueUpCompareOptions.h"
#include "scan/trueup/TrueUpDifferenceCallback.h"

class CTrueUpBrowseHandlerPrivate;

class CTrueUpBrowseHandler {
public:
    // The identifiers and time bounds go into the browse request.
    CTrueUpBrowseHandler(unsigned long clientId, unsigned long subclientId, int appType, unsigned long backupSetId,
                         unsigned long fromTime, unsigned long toTime, std::string clientName,
                         std::string subclientName, int copyPrecedence, EDirChangeMethod method);
    ~CTrueUpBrowseHandler();

    void SetTrueUpDirChangeContainerName(const std::string& name);
    std::string GetTrueUpDirChangeContainerName() const;
    void SetComparisonDirChangeContainerName(const std::string& name);
    void SetTrueUpDirChangeFileName(const std::string& name);
    std::string GetTrueUpDirChangeFileName() const;
    void SetComparisonDirChangeFileName(const std::string& name);
    void SetScanJobType(EScanJobType type);
    EScanJobType GetScanJobType() const;
    void SetQueryIndexFlag(bool on);
    bool IsQueryIndexSet() const;
    void SetSnapTape(bool on);
    bool IsSnapTape() const;
    // A stable GUID for a component of this client (name-based).
    CKoError GetComponentGUID(const std::string& component, std::string& guid) const;

    // The index browse client; by default the backup index stand-in of the client's job-results
    // folder (CSQLiteBackupIndex::DefaultPathFor).
    void SetIndexBrowseClient(IdxBrowseClientPtr client);

    // Browse failures are Win32 774 with the browse's return code, and the cause pushed.
    CKoError GenerateTrueUpDirChange(const CAbortOperationCheckPtr& abortCheck);
    CKoError EnumerateDifferences(const CTrueUpCompareOptionsPtr& options,
                                  const CTrueUpDifferenceCallbackPtr& differenceCallback,
                                  const CAbortOperationCheckPtr& abortCheck);
    // For snapshot copies: names the archive file of the requested copy in the request.
    void HandleTrueUpPropertiesForFSSnap(databrowse::BrowseRequest& request);

private:
    std::shared_ptr<CTrueUpBrowseHandlerPrivate> m_d;
};
