#include "scan/collect/UnixThreadFlatCollectFile.h"

CUnixThreadFlatCollectFile::~CUnixThreadFlatCollectFile() = default;

CKoError CUnixThreadFlatCollectFile::Process(std::shared_ptr<CItem> item) {
    std::lock_guard<std::mutex> lock(m_processMutex);
    return CUnixFlatCollectFile::Process(std::move(item));
}
