#include "scan/content/ProxyItemConsumer.h"

CProxyItemConsumer::~CProxyItemConsumer() = default;

void CProxyItemConsumer::SetContentMapper(std::shared_ptr<ContentMapperAPI> mapper) {
    m_contentMapper = std::move(mapper);
}

CKoError CProxyItemConsumer::TranslateToSourcePath(const std::string& local, std::string& source) {
    if (!m_contentMapper) {
        source = local;
        return CKoError::Success();
    }
    if (m_contentMapper->MakeHostPathFromProxyPath(local, source) != 0)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER,
                                       "Failed to convert proxy path to host path, LocalFolder=%s", local.c_str());
    return CKoError::Success();
}
