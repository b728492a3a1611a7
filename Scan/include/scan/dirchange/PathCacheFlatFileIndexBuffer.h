// Appends single file and folder changes (adds, removals, renames) to the current DirChange of a
// flat-file index one folder block at a time: the files of the folder last named are buffered and
// written together when another folder comes (or on FlushBuffer, or when the buffer goes).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/KoError.h"
#include "scan/dirchange/AncestorItemInfoFactory.h"
#include "scan/dirchange/FlatFileIndexFileItem.h"
#include "scan/dirchange/PathCacheFlatFileIndex.h"

class CPathCacheFlatFileIndexBufferPrivate;

class CPathCacheFlatFileIndexBuffer {
public:
    explicit CPathCacheFlatFileIndexBuffer(std::shared_ptr<CPathCacheFlatFileIndex> index);
    // Flushes; a failure is only logged.
    ~CPathCacheFlatFileIndexBuffer();
    CPathCacheFlatFileIndexBuffer(const CPathCacheFlatFileIndexBuffer&) = delete;
    CPathCacheFlatFileIndexBuffer& operator=(const CPathCacheFlatFileIndexBuffer&) = delete;

    CKoError AddFolder(const std::string& folder, const FXCodeLocation& location, const std::string& reason,
                       const FVBasePtr& info = FVBasePtr());
    CKoError AddFile(const std::string& path, const FXCodeLocation& location, const std::string& reason,
                     const FVBasePtr& info = FVBasePtr());
    // Buffers a deleted entry for a file the current DirChange (or the buffer) holds; a file it
    // does not hold is no error and writes nothing.
    CKoError RemoveFile(const std::string& path, const FXCodeLocation& location, const std::string& reason,
                        const FVBasePtr& info = FVBasePtr());
    CKoError RenameFile(const std::string& oldPath, const std::string& newPath, const FXCodeLocation& location,
                        const std::string& reason);
    // Marks the folder and everything below it deleted in the current DirChange.
    CKoError RemoveFolder(const std::string& folder, const FXCodeLocation& location, const std::string& reason);
    CKoError RawWriteLine(const std::string& line);
    CKoError FlushBuffer();
    std::string GetCurrentBackingFilePath() const;
    void SetAncestorItemInfoFactory(std::shared_ptr<CAncestorItemInfoFactory> factory);

private:
    std::shared_ptr<CPathCacheFlatFileIndexBufferPrivate> m_d;
};
