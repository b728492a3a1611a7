#include "TrueUpFlatFileDirChangeWriter.h"

#include "core/Env.h"
#include "core/LogWriter.h"
#include "core/Path.h"
#include "scan/trueup/TrueUpDirChangeFormatter.h"
#include "scan/trueup/TrueUpDirChangeItemInfoFactory.h"

namespace {

const char* const kReason = "IndexingExperiment";

CKoError RemoveIfThere(const std::string& path) {
    CKoError e = FXEnv::Current()->RemoveFile(path);
    if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND)) return CKoError::Success();
    return e;
}

}  // namespace

CTrueUpFlatFileDirChangeWriter::CTrueUpFlatFileDirChangeWriter(std::string name)
    : CTrueUpDirChangeWriter(std::move(name)) {}

CTrueUpFlatFileDirChangeWriter::~CTrueUpFlatFileDirChangeWriter() {
    // Not completed: what was written stays under the partial name, which nothing reads.
    m_index.reset();
}

CKoError CTrueUpFlatFileDirChangeWriter::Open() {
    FXFileStat st;
    if (FXEnv::Current()->Stat(m_name, st).IsSuccess()) {
        ZYLOG(1, "TrueUp DirChange file already exists, FileName=[%s]. Deleting the stale Trueup DirChange file.",
              m_name.c_str());
    }
    for (const std::string& path : {m_name, PartialName()}) {
        CKoError e = RemoveIfThere(path);
        if (e.IsError()) {
            ZYLOG_ERROR("Failed to delete stale Trueup DirChange file [%s]. Error [%s] ", path.c_str(),
                        e.AsString().c_str());
            return e.Push(ZY_HERE);
        }
    }
    try {
        m_index = std::make_unique<CPathCacheFlatFileIndex>();
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Failed to allocate memory");
    }
    m_index->SetItemInfoFormatter(std::make_shared<CTrueUpDirChangeFormatter>());
    m_index->SetAncestorItemInfoFactory(std::make_shared<CTrueUpDirChangeItemInfoFactory>());
    CKoError e = m_index->SetCurrentBackingFile(PartialName(), nullptr);
    if (e.IsError()) {
        m_index.reset();
        return e.Push(ZY_HERE, "FileName=[%s]", m_name.c_str());
    }
    m_frames.clear();
    ZYLOG(1, "Opened new TrueUp DirChange file, FileName=[%s]", m_name.c_str());
    return CKoError::Success();
}

CKoError CTrueUpFlatFileDirChangeWriter::FlushFramesNotAbove(const std::string& folder) {
    while (!m_frames.empty() && !FXPath::IsAncestorOf(m_frames.back().folder, folder, true)) {
        Frame& top = m_frames.back();
        CKoError e = m_index->AddCurrentFolder(top.folder, ZY_HERE, kReason, FVBasePtr(), top.files);
        if (e.IsError()) return e.Push(ZY_HERE, "Folder=[%s]", top.folder.c_str());
        m_frames.pop_back();
    }
    return CKoError::Success();
}

CKoError CTrueUpFlatFileDirChangeWriter::FlushAll() {
    while (!m_frames.empty()) {
        Frame& top = m_frames.back();
        CKoError e = m_index->AddCurrentFolder(top.folder, ZY_HERE, kReason, FVBasePtr(), top.files);
        if (e.IsError()) return e.Push(ZY_HERE, "Folder=[%s]", top.folder.c_str());
        m_frames.pop_back();
    }
    return CKoError::Success();
}

CKoError CTrueUpFlatFileDirChangeWriter::AddItem(const std::string& path, bool folder,
                                                 const CTrueUpDirChangeItemDataPtr& data) {
    if (!m_index)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "The TrueUp DirChange file is not open");
    CKoError e;
    try {
        if (folder) {
            e = m_index->AddCurrentFolder(path, ZY_HERE, kReason, data, FlatFileIndexFileItemMap());
            if (e.IsError()) {
                ZYLOG_ERROR("Failed to add folder to TrueUp DirChange, Folder=[%s], error=%s", path.c_str(),
                            e.AsString().c_str());
                return e.Push(ZY_HERE);
            }
            ZYLOG(5, "Added folder to TrueUp DirChange, Folder=[%s]", path.c_str());
        } else {
            e = FXPath::SplitParentPath(path, m_parent, m_name2);
            if (e.IsSuccess()) e = FlushFramesNotAbove(m_parent);
            if (e.IsSuccess() && (m_frames.empty() || !FXPath::IsSamePathAs(m_frames.back().folder, m_parent)))
                m_frames.push_back(Frame{m_parent, {}});
            if (e.IsSuccess()) m_frames.back().files[m_name2] = CFlatFileIndexFileItem(ZY_HERE, kReason, data);
            if (e.IsError()) {
                ZYLOG_ERROR("Failed to add file to TrueUp DirChange, File=[%s], error=%s", path.c_str(),
                            e.AsString().c_str());
                return e.Push(ZY_HERE);
            }
            ZYLOG(5, "Added file to TrueUp DirChange, File=[%s]", path.c_str());
        }
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Failed to allocate memory");
    }
    ++m_items;
    return CKoError::Success();
}

CKoError CTrueUpFlatFileDirChangeWriter::Complete(const std::string& origin, const std::string& /*query*/) {
    if (!m_index)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "The TrueUp DirChange file is not open");
    CKoError e = FlushAll();
    if (e.IsSuccess()) e = m_index->SyncCurrentBackingFile();
    m_index.reset();
    if (e.IsSuccess()) e = FXEnv::Current()->RenameFile(PartialName(), m_name);
    if (e.IsSuccess()) e = FXSyncParentDir(m_name);
    if (e.IsError()) return e.Push(ZY_HERE, "FileName=[%s]", m_name.c_str());
    ZYLOG(1, "%s, FileName=[%s]", origin.c_str(), m_name.c_str());
    return CKoError::Success();
}

void CTrueUpFlatFileDirChangeWriter::Abandon() {
    m_frames.clear();
    m_index.reset();
    RemoveIfThere(PartialName()).IgnoreError();
}
