#include "scan/trueup/TrueUpBasicScannerOps.h"

#include "agent/BasicScanner.h"
#include "core/LogWriter.h"
#include "core/PlatformInfo.h"
#include "scan/trueup/TrueUpInspectCallback.h"

CTrueUpBasicScannerOps::CTrueUpBasicScannerOps() : m_options(std::make_shared<CTrueUpInspectOptions>()) {}

CTrueUpBasicScannerOps::~CTrueUpBasicScannerOps() = default;

CKoError CTrueUpBasicScannerOps::Initialize(int maxWorkers, const std::string& jobResultsFolder) {
    m_options->SetJobResultsFolder(jobResultsFolder);
    m_maxWorkers = maxWorkers;
    if (m_maxWorkers <= 0) {
        long long workers = 4;
        if (ZYPlatformInfo::getNumber("DataClassification:Scanner", "MaxWorkers", workers).IsError() || workers <= 0)
            workers = 4;
        m_maxWorkers = static_cast<int>(std::min<long long>(workers, 64));
    }
    return CKoError::Success();
}

void CTrueUpBasicScannerOps::SetSubClientBackupSetmap(std::map<uint32_t, uint32_t> map) {
    m_options->SetSubclientToBackupSetMap(std::move(map));
}

void CTrueUpBasicScannerOps::SetCredentials(const std::string& /*user*/, const std::string& /*password*/) {
    ZYLOG(1, "Not implemented");
}

void CTrueUpBasicScannerOps::SetStubType(ETrueUpStubType /*type*/) { ZYLOG(1, "Not implemented"); }

CKoError CTrueUpBasicScannerOps::CreateStubGUIDWriter(CTrueUpStubGuidWriterPtr& writer) {
    const auto& map = m_options->GetSubclientToBackupSetMap();
    return m_options->GetStubGUIDWriterForBackupSet(map.empty() ? 0 : map.begin()->second, writer);
}

CKoError CTrueUpBasicScannerOps::Run() {
    auto callback = std::make_shared<CTrueUpInspectCallback>();
    callback->SetOptions(m_options);
    CBasicScanner scanner(m_content, m_maxWorkers, std::make_shared<CLogWriterLineWriter>(1), callback);
    CKoError e = scanner.Run();
    CKoError closed = m_options->CloseWriters();
    if (e.IsSuccess()) e = closed;
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CTrueUpUnixBasicScannerOps::Run() {
    CKoError e = CTrueUpBasicScannerOps::Run();
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}
