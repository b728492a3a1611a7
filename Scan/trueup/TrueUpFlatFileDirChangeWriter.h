// A TrueUp DirChange record kept as a flat DirChange file: written through a flat-file index
// (TrueUp formatter and ancestor factory) under "<name>.partial", renamed to its name durably
// when complete. A folder's line is written when the folder comes; the files of the folders the
// items are in are buffered, folder by folder along the current path, and each folder's files
// are written as one block when the items leave it, so a walk in pre-order (folders before their
// entries) and a browse in folder order both give one block per folder.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "scan/dirchange/PathCacheFlatFileIndex.h"
#include "scan/trueup/TrueUpDirChangeWriter.h"

class CTrueUpFlatFileDirChangeWriter : public CTrueUpDirChangeWriter {
public:
    explicit CTrueUpFlatFileDirChangeWriter(std::string name);
    ~CTrueUpFlatFileDirChangeWriter() override;

    CKoError Open() override;
    CKoError AddItem(const std::string& path, bool folder, const CTrueUpDirChangeItemDataPtr& data) override;
    CKoError Complete(const std::string& origin, const std::string& query) override;
    void Abandon() override;

    std::string PartialName() const { return m_name + ".partial"; }

private:
    struct Frame {
        std::string folder;
        FlatFileIndexFileItemMap files;
    };
    // Writes the frames that `folder` is not in (or all of them).
    CKoError FlushFramesNotAbove(const std::string& folder);
    CKoError FlushAll();

    std::unique_ptr<CPathCacheFlatFileIndex> m_index;
    std::vector<Frame> m_frames;
    std::string m_parent, m_name2;
};
