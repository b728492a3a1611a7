// The recorder of the segment DirChange: the scan writes this job's tree DirChange file itself,
// one block per folder when the walk leaves it, and tells the DirChange where each item's line is.
// Files are always tracked (the segment DirChange has no folders-only mode).
#pragma once

#include "DeletedItemsSpool.h"
#include "ScanFolderStack.h"
#include "scan/dirchange/BufferedFileAppender.h"
#include "scan/dirchange/DirChangeRecorder.h"
#include "scan/dirchange/SymLinkDirChange.h"

class CSegmentDirChangeRecorder : public CDirChangeRecorder {
public:
    explicit CSegmentDirChangeRecorder(const SOptions& options);
    ~CSegmentDirChangeRecorder() override;

    EDirChangeKind GetKind() const override { return EDirChangeKind::DIRCHANGE_KIND_SEGMENTS; }
    std::shared_ptr<IDirChange> GetDirChange() const override { return m_dc; }
    CKoError LoadPrevious(const std::string& fileName, ContentMapperAPI* mapper) override;
    SDirChangeLoadReport GetLoadReport() const override { return m_dc->GetLoadReport(); }
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
    CKoError WriteFrame(CScanFolderStack::Frame& frame);
    // The files the previous job had in a folder the walk has just left and this job did not meet.
    CKoError ListDeletedFiles(const CScanFolderStack::Frame& frame);
    CKoError WriteBlock(const std::string& folder, const std::vector<CScanFolderStack::File>& files,
                        BDirChangeItemFlags folderFlags);

    std::shared_ptr<SymLinkDirChange> m_dc;
    CScanFolderStack m_stack;
    std::string m_currentFile;
    std::unique_ptr<FXWritableFile> m_file;
    CBufferedFileAppender m_out;
    std::shared_ptr<SymLinkItemInfo> m_where;
    std::string m_line, m_path;
    CDeletedItemsSpool m_deleted;
};
