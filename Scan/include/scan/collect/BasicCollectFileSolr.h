// The collect-file writer for items that come from the content index.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "core/KoError.h"
#include "core/LogWriter.h"
#include "scan/collect/BasicCollectFile.h"
#include "scan/collect/CheckIfAlreadyPresent.h"
#include "scan/collect/CollectFileEntry.h"
#include "scan/collect/CollectLineFormatter.h"

// The writer for items that come from the content index: ancestors are written under their
// pseudo paths.
class CBasicCollectFileSolr : public CBasicCollectFile {
public:
    CBasicCollectFileSolr();
    ~CBasicCollectFileSolr() override;
    CBasicCollectFileSolr(const CBasicCollectFileSolr&) = default;
    CBasicCollectFileSolr& operator=(const CBasicCollectFileSolr&) = default;

    // Always false, so that nothing stops an ancestor walk or a folder; the decisions are taken
    // in ProcessFolderEntry with the base test.
    bool IsFolderAlreadyAdded(const std::string& path) override;

protected:
    CKoError ProcessFolderEntry(const CCollectFileEntry* entry,
                                const std::shared_ptr<CCollectFileFolderEntry>& ancestor,
                                CCollectLineFormatter& formatter) override;

private:
    CKoError WritePseudoAncestors(const std::string& pseudoPath, CCollectLineFormatter& formatter);
};
