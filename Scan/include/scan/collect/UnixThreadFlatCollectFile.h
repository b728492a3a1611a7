// The Unix flat collect file that several scanner threads share: Process is serialised, so the
// lines of one item (an item and the deletion line of its previous path) stay together.
#pragma once

#include <mutex>

#include "scan/collect/UnixFlatCollectFile.h"

class CUnixThreadFlatCollectFile : public CUnixFlatCollectFile {
public:
    using CUnixFlatCollectFile::CUnixFlatCollectFile;
    ~CUnixThreadFlatCollectFile() override;

    CKoError Process(std::shared_ptr<CItem> item) override;

private:
    std::mutex m_processMutex;
};
