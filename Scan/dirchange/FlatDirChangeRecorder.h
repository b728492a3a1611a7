// The recorder of the flat-file index: a folder's files are written as one block when the walk
// leaves the folder.
#pragma once

#include "DeletedItemsSpool.h"
#include "ScanFolderStack.h"
#include "scan/dirchange/DirChangeRecorder.h"
#include "scan/dirchange/PathCacheFlatFileIndex.h"

class CFlatDirChangeRecorder : public CDirChangeRecorder {
public:
    explicit CFlatDirChangeRecorder(const SOptions& options);

    EDirChangeKind GetKind() const override { return EDirChangeKind::DIRCHANGE_KIND_FLAT; }
    std::shared_ptr<IDirChange> GetDirChange() const override { return m_index; }
    CKoError LoadPrevious(const std::string& fileName, ContentMapperAPI* mapper) override;
    SDirChangeLoadReport GetLoadReport() const override;
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

    CPathCacheFlatFileIndex& GetIndex() { return *m_index; }

private:
    CKoError WriteFrame(CScanFolderStack::Frame& frame);
    // The files the previous job had in a folder the walk has just left and this job did not
    // meet: listed now, while the folder's previous items are still cached.
    CKoError ListDeletedFiles(const CScanFolderStack::Frame& frame);

    SOptions m_options;
    std::shared_ptr<CPathCacheFlatFileIndex> m_index;
    CScanFolderStack m_stack;
    CDeletedItemsSpool m_deleted;
    std::string m_line, m_child;
};
