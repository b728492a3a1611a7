#include "scan/trueup/TrueUpInspectCallback.h"

#include "core/LogWriter.h"
#include "scan/trueup/TrueUpUnixInspectHandler.h"

bool CTrueUpInspectCallback::IsAborted() { return m_options && m_options->IsTerminateScan(); }

CKoError CTrueUpInspectCallback::GetOutputHandler(const std::string& sourceVolumeName,
                                                  std::shared_ptr<IBasicScannerOutputHandler>& handler) {
    ZYLOG(2, "SourceVolumeName=[%s]", sourceVolumeName.c_str());
    auto inspect = std::make_shared<CTrueUpUnixInspectHandler>();
    inspect->SetOptions(m_options);
    if (m_options && !m_options->GetSubclientToBackupSetMap().empty())
        inspect->SetBackupSetId(m_options->GetSubclientToBackupSetMap().begin()->second);
    handler = inspect;
    return CKoError::Success();
}
