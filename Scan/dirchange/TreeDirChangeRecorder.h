// The recorder of the tree DirChange: every item is a node of the trie.
#pragma once

#include "scan/dirchange/DirChange.h"
#include "scan/dirchange/DirChangeRecorder.h"

class CTreeDirChangeRecorder : public CDirChangeRecorder {
public:
    explicit CTreeDirChangeRecorder(const SOptions& options);

    EDirChangeKind GetKind() const override { return EDirChangeKind::DIRCHANGE_KIND_TREE; }
    std::shared_ptr<IDirChange> GetDirChange() const override { return m_dc; }
    CKoError LoadPrevious(const std::string& fileName, ContentMapperAPI* mapper) override;
    SDirChangeLoadReport GetLoadReport() const override { return SDirChangeLoadReport(); }
    CKoError StartCurrent(const std::string& fileName) override;
    CKoError AddSurface(const std::string& root) override;
    bool IsFileInPreviousJob(const std::string& path) override;
    bool IsFolderInPreviousJob(const std::string& path) override;
    CKoError AddFolder(const std::string& path) override;
    CKoError AddFile(const std::string& path, bool collected) override;
    CKoError CarryForward(const std::string& path) override;
    bool IsWritten(const std::string& folder) override;
    CKoError SetWritten(const std::string& folder) override;
    CKoError EndScan() override;
    CKoError WriteDeletedItems(FILE* out, bool listEveryItem) override;

private:
    std::shared_ptr<CDirChange> m_dc;
    std::string m_currentFile;
};
