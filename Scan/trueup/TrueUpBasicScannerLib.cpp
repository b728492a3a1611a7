#include "scan/trueup/TrueUpBasicScannerLib.h"

#include "agent/PlatformServices.h"
#include "core/Env.h"
#include "core/LogWriter.h"
#include "core/Path.h"
#include "core/StringUtil.h"
#include "scan/trueup/TrueUpStubGuidWriter.h"

CTrueUpBasicScannerLib::CTrueUpBasicScannerLib(unsigned int clientId, unsigned int subclientId)
    : m_clientId(clientId), m_subclientId(subclientId) {}

void CTrueUpBasicScannerLib::AddSubclient(uint32_t backupSetId, uint32_t subclientId,
                                          std::vector<std::string> localPaths) {
    m_subclients.push_back(SSubclient{backupSetId, subclientId, std::move(localPaths)});
}

CKoError CTrueUpBasicScannerLib::Initialize() {
    if (m_jobResultsFolder.empty()) {
        CKoError e = ZYPI_CommClient::getJobResultsDirectory(ZYPI_Focus::getFocusClientName(true), m_jobResultsFolder);
        if (e.IsError())
            return e.Push(ZY_HERE, "Failed to get job results directory for client id %lu",
                          static_cast<unsigned long>(m_clientId));
    }
    ZYLOG(1, "Job Results: %s", m_jobResultsFolder.c_str());
    CKoError e = PopulateSubclientInfo();
    if (e.IsError()) return e.Push(ZY_HERE);
    e = CleanupPreviousOutput();
    if (e.IsError()) return e.Push(ZY_HERE, "CleanupPreviousOutput failed");
    return m_ops.Initialize(0, m_jobResultsFolder);
}

CKoError CTrueUpBasicScannerLib::PopulateSubclientInfo() {
    if (m_subclients.empty())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND, "getBackupSetList failed for clientid:%lu",
                                       static_cast<unsigned long>(m_clientId));
    m_subclientToBackupSet.clear();
    for (const SSubclient& s : m_subclients) {
        if (s.paths.empty())
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND,
                                           "getSubclientList failed for backupset: id[%lu]",
                                           static_cast<unsigned long>(s.backupSetId));
        m_subclientToBackupSet[s.subclientId] = s.backupSetId;
    }
    m_ops.SetSubClientBackupSetmap(m_subclientToBackupSet);
    return CKoError::Success();
}

CKoError CTrueUpBasicScannerLib::CleanupPreviousOutput() {
    const std::string folder = CTrueUpStubGuidWriter::FolderOf(m_jobResultsFolder);
    std::vector<std::string> names;
    CKoError e = FXEnv::Current()->GetChildren(folder, names);
    if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND)) return CKoError::Success();
    if (e.IsError()) {
        ZYLOG_ERROR("Failed to iterate through TrueUp folder");
        return e.Push(ZY_HERE, "Folder=[%s]", folder.c_str());
    }
    for (const std::string& name : names) {
        if (!FXString::MatchLeft(name, "StubGUID_")) continue;
        const std::string path = FXPath::Join(folder, name);
        e = FXEnv::Current()->RemoveFile(path);
        if (e.IsError()) {
            ZYLOG_ERROR("Failed delete file [%s]", path.c_str());
            return e.Push(ZY_HERE);
        }
    }
    return CKoError::Success();
}

CKoError CTrueUpBasicScannerLib::ScanLocalPaths() {
    m_ops.ClearContent();
    for (const SSubclient& s : m_subclients)
        for (const std::string& path : s.paths) m_ops.AddContent(path);
    CKoError e = m_ops.Run();
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

// Archived stubs on NAS shares are read through the filer's own services, which this platform
// does not have: nothing to scan.
CKoError CTrueUpBasicScannerLib::ScanNasPaths() { return CKoError::Success(); }

CKoError CTrueUpBasicScannerLib::Run() {
    CKoError e = ScanLocalPaths();
    if (e.IsSuccess()) e = ScanNasPaths();
    if (e.IsError()) return e.Push(ZY_HERE);
    ZYLOG(0, "Local Unifold stub scan successful");
    return CKoError::Success();
}
