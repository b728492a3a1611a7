#include "scan/trueup/TrueUpBrowseHandler.h"

#include <boost/uuid/name_generator_sha1.hpp>

#include "TrueUpBrowseHandlerPrivate.h"
#include "agent/BackupIndex.h"
#include "agent/PlatformServices.h"
#include "agent/SQLiteIdxBrowseClient.h"
#include "core/LogWriter.h"
#include "core/PlatformInfo.h"
#include "core/StringUtil.h"
#include "scan/trueup/TrueUpDirChangeItemData.h"
#include "scan/trueup/TrueUpIndexContentCallback.h"

CTrueUpBrowseHandler::CTrueUpBrowseHandler(unsigned long clientId, unsigned long subclientId, int appType,
                                           unsigned long backupSetId, unsigned long fromTime, unsigned long toTime,
                                           std::string clientName, std::string subclientName, int copyPrecedence,
                                           EDirChangeMethod method)
    : m_d(std::make_shared<CTrueUpBrowseHandlerPrivate>()) {
    m_d->clientId = clientId;
    m_d->subclientId = subclientId;
    m_d->appType = appType;
    m_d->backupSetId = backupSetId;
    m_d->fromTime = fromTime;
    m_d->toTime = toTime;
    m_d->clientName = std::move(clientName);
    m_d->subclientName = std::move(subclientName);
    m_d->copyPrecedence = copyPrecedence;
    m_d->method = method;
}

CTrueUpBrowseHandler::~CTrueUpBrowseHandler() = default;

void CTrueUpBrowseHandler::SetTrueUpDirChangeContainerName(const std::string& name) { m_d->trueUpContainerName = name; }
std::string CTrueUpBrowseHandler::GetTrueUpDirChangeContainerName() const { return m_d->trueUpContainerName; }
void CTrueUpBrowseHandler::SetComparisonDirChangeContainerName(const std::string& name) {
    m_d->comparisonContainerName = name;
}
void CTrueUpBrowseHandler::SetTrueUpDirChangeFileName(const std::string& name) { m_d->trueUpFileName = name; }
std::string CTrueUpBrowseHandler::GetTrueUpDirChangeFileName() const { return m_d->trueUpFileName; }
void CTrueUpBrowseHandler::SetComparisonDirChangeFileName(const std::string& name) { m_d->comparisonFileName = name; }
void CTrueUpBrowseHandler::SetScanJobType(EScanJobType type) { m_d->scanJobType = type; }
EScanJobType CTrueUpBrowseHandler::GetScanJobType() const { return m_d->scanJobType; }
void CTrueUpBrowseHandler::SetQueryIndexFlag(bool on) { m_d->queryIndex = on; }
bool CTrueUpBrowseHandler::IsQueryIndexSet() const { return m_d->queryIndex; }
void CTrueUpBrowseHandler::SetSnapTape(bool on) { m_d->snapTape = on; }
bool CTrueUpBrowseHandler::IsSnapTape() const { return m_d->snapTape; }
void CTrueUpBrowseHandler::SetIndexBrowseClient(IdxBrowseClientPtr client) { m_d->browseClient = std::move(client); }

CKoError CTrueUpBrowseHandler::GetComponentGUID(const std::string& component, std::string& guid) const {
    if (component.empty())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "No component name given");
    // A name-based GUID: the same client and component always give the same one.
    boost::uuids::name_generator_sha1 generator(boost::uuids::uuid{});
    const std::string name = m_d->clientName + "/" + std::to_string(m_d->clientId) + "/" + component;
    guid = TrueUpGuidText(generator(name.data(), name.size()));
    return CKoError::Success();
}

void CTrueUpBrowseHandler::HandleTrueUpPropertiesForFSSnap(databrowse::BrowseRequest& request) {
    // The stand-in keeps no archive files: a copy is named by its precedence.
    if (m_d->copyPrecedence <= 0) {
        ZYLOG_ERROR("Couldn't convert copy-id to copy precedence, copy-id[%d] ArchGroupNumber=[%u], Error=%d",
                    m_d->copyPrecedence, static_cast<unsigned>(m_d->backupSetId), -1);
        return;
    }
    request.copyPrecedence = m_d->copyPrecedence;
    request.archiveFile = FXString::Format("%u/%u/%u", static_cast<unsigned>(m_d->backupSetId),
                                           static_cast<unsigned>(m_d->subclientId),
                                           static_cast<unsigned>(m_d->copyPrecedence));
    ZYLOG(1, "Archive file found, afile %u/%u/%u type (requested) %d", static_cast<unsigned>(m_d->backupSetId),
          static_cast<unsigned>(m_d->subclientId), static_cast<unsigned>(m_d->copyPrecedence), m_d->copyPrecedence);
}

CKoError CTrueUpBrowseHandlerPrivate::GetBrowseClient(IdxBrowseClientPtr& client) {
    if (browseClient) {
        client = browseClient;
        return CKoError::Success();
    }
    std::string jobResults;
    CKoError e = ZYPI_CommClient::getJobResultsDirectory(clientName, jobResults);
    if (e.IsError())
        return e.Push(ZY_HERE, "Failed to get job results directory for client id %lu", clientId);
    client = std::make_shared<CSQLiteIdxBrowseClient>(CSQLiteBackupIndex::DefaultPathFor(jobResults));
    return CKoError::Success();
}

CKoError CTrueUpBrowseHandler::GenerateTrueUpDirChange(const CAbortOperationCheckPtr& abortCheck) {
    m_d->abortCheck = abortCheck;
    databrowse::BrowseRequest request;
    request.path = "\\**\\*";
    request.filter = "*";
    request.operationName = "TrueUp";
    request.clientId = m_d->clientId;
    request.subclientId = m_d->subclientId;
    request.appType = m_d->appType;
    request.backupSetId = m_d->backupSetId;
    request.fromTime = m_d->fromTime;
    request.toTime = m_d->toTime;
    request.clientName = m_d->clientName;
    request.subclientName = m_d->subclientName;
    request.copyPrecedence = m_d->copyPrecedence;
    long long afileValidation = 0;
    if (ZYPlatformInfo::getNumber("FileSystemAgent", "bAfileValidation", afileValidation).IsSuccess() &&
        afileValidation == 1) {
        ZYLOG(1, "Regkey to skip afile validation is set. Setting IncludeRunningJobs to true in the index query");
        request.includeRunningJobs = true;
    }
    if (m_d->snapTape) HandleTrueUpPropertiesForFSSnap(request);

    CTrueUpIndexContentCallback callback(m_d->method, m_d->trueUpFileName, m_d->trueUpContainerName, abortCheck);
    callback.SetIndexingQuery(request.AsXml());
    CKoError e = callback.Initialize();
    if (e.IsError()) return e.Push(ZY_HERE);

    IdxBrowseClientPtr client;
    e = m_d->GetBrowseClient(client);
    if (e.IsError()) {
        callback.Abandon();
        return e.Push(ZY_HERE);
    }
    int rc = client->Initialize(request, &callback, 2000, nullptr, nullptr);
    if (rc < 0) {
        callback.Abandon();
        e = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE,
                                    "IdxBrowseClient::Initialize failed, browseRetCode=[%d]", rc);
        return e.Push(ZY_HERE, "%s", client->GetLastError().AsString().c_str());
    }
    ZYLOG(1, "Sending browse request to generate TrueUp DirChange");
    rc = client->Browse();
    if (rc < 0 || callback.GetFailure().IsError()) {
        callback.Abandon();
        e = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE,
                                    "IdxBrowseClient::Browse failed, browseRetCode=[%d]", rc);
        const CKoError& cause = callback.GetFailure().IsError() ? callback.GetFailure() : client->GetLastError();
        if (cause.IsError()) e.Push(ZY_HERE, "%s", cause.AsString().c_str());
        return e;
    }
    ZYLOG(0, "Processed %lld items from browse", static_cast<long long>(callback.GetItemCount()));
    e = callback.Complete();
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CTrueUpBrowseHandler::EnumerateDifferences(const CTrueUpCompareOptionsPtr& options,
                                                    const CTrueUpDifferenceCallbackPtr& differenceCallback,
                                                    const CAbortOperationCheckPtr& abortCheck) {
    m_d->abortCheck = abortCheck;
    CKoError e = m_d->CompareDirChange(options, differenceCallback, abortCheck);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CTrueUpBrowseHandlerPrivate::CompareDirChange(const CTrueUpCompareOptionsPtr& options,
                                                       const CTrueUpDifferenceCallbackPtr& callback,
                                                       const CAbortOperationCheckPtr& abort) {
    if (method == EDirChangeMethod::DIRCHANGE_METHOD_CONTAINER) return CompareDirChangeContainers(options, callback, abort);
    if (method == EDirChangeMethod::DIRCHANGE_METHOD_FILE) return CompareDirChangeFiles(options, callback, abort);
    return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER,
                                   "The subclient's DirChange method is not configured, Method=[%s]",
                                   method.AsString().c_str());
}
