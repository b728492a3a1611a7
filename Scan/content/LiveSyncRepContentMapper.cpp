#include "scan/content/LiveSyncRepContentMapper.h"

int CLiveSyncRepContentMapper::AddContentMapEntry(const std::string& hostPath, const std::string& proxyPath,
                                                  unsigned int /*flags*/) {
    mProxyToHostMap[proxyPath] = hostPath;
    return 0;
}

CKoError CLiveSyncRepContentMapper::Initialize() {
    mEnabled = true;
    return CKoError::Success();
}
