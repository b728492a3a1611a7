#include "scan/dirchange/PathCacheFlatFileIndexBuffer.h"

#include "PathCacheFlatFileIndexPrivate.h"
#include "core/LogWriter.h"
#include "core/Path.h"
#include "scan/dirchange/DirChangeItemBaseInfo.h"

class CPathCacheFlatFileIndexBufferPrivate {
public:
    std::shared_ptr<CPathCacheFlatFileIndex> index;
    std::shared_ptr<CAncestorItemInfoFactory> factory;
    std::string folder;
    FXCodeLocation location;
    std::string reason;
    FVBasePtr info;
    uint64_t count = 0;
    FlatFileIndexFileItemMap files;
    bool buffered = false;

    // Makes `folder` the buffered one, writing the one before when it is another.
    CKoError Switch(const std::string& to, const FXCodeLocation& where, const std::string& why, const FVBasePtr& what) {
        if (buffered && FXPath::IsSamePathAs(folder, to)) return CKoError::Success();
        CKoError e = Flush();
        if (e.IsError()) return e;
        folder = to;
        location = where;
        reason = why;
        info = what;
        buffered = true;
        return CKoError::Success();
    }

    CKoError Flush() {
        if (!buffered) return CKoError::Success();
        if (!index) return NoIndex(ZY_HERE);
        CKoError e = index->AddCurrentFolder(folder, location, reason, info, files, factory.get());
        if (e.IsError())
            return e.Push(ZY_HERE, "AddCurrentFolder failed, BufferedFolder=[%s], BufferedItemCount=[%llu]",
                          folder.c_str(), static_cast<unsigned long long>(files.size()));
        count += files.size();
        files.clear();
        folder.clear();
        info.reset();
        buffered = false;
        return CKoError::Success();
    }

    static CKoError NoIndex(const FXCodeLocation& here) {
        return FXErrorUtil::ErrorWin32(here, ZyWin32::ERROR_INVALID_HANDLE,
                                       "Primary store object not configured, unable to add raw data");
    }
};

CPathCacheFlatFileIndexBuffer::CPathCacheFlatFileIndexBuffer(std::shared_ptr<CPathCacheFlatFileIndex> index)
    : m_d(std::make_shared<CPathCacheFlatFileIndexBufferPrivate>()) {
    m_d->index = std::move(index);
    if (m_d->index) {
        CPathCacheFlatFileIndexPrivate& d = *m_d->index->GetPrivate();
        FXCriticalSection::Scoped lock(d.lock);
        m_d->factory = d.ancestorFactory;
    }
}

CPathCacheFlatFileIndexBuffer::~CPathCacheFlatFileIndexBuffer() {
    CKoError e = FlushBuffer();
    if (e.IsError()) ZYLOG_ERROR("FlushBuffer failed, error=%s", e.AsString().c_str());
}

void CPathCacheFlatFileIndexBuffer::SetAncestorItemInfoFactory(std::shared_ptr<CAncestorItemInfoFactory> factory) {
    m_d->factory = std::move(factory);
}

CKoError CPathCacheFlatFileIndexBuffer::AddFolder(const std::string& folder, const FXCodeLocation& location,
                                                  const std::string& reason, const FVBasePtr& info) {
    CKoError e = m_d->Switch(folder, location, reason, info);
    if (e.IsError()) return e.Push(ZY_HERE, "Folder=[%s]", folder.c_str());
    // The folder's own information wins over what a file of it set.
    m_d->info = info;
    return CKoError::Success();
}

CKoError CPathCacheFlatFileIndexBuffer::AddFile(const std::string& path, const FXCodeLocation& location,
                                                const std::string& reason, const FVBasePtr& info) {
    std::string folder, name;
    CKoError e = FXPath::SplitParentPath(path, folder, name);
    if (e.IsSuccess()) e = m_d->Switch(folder, location, reason, FVBasePtr());
    if (e.IsError()) return e.Push(ZY_HERE, "FileName=[%s]", path.c_str());
    try {
        m_d->files[name] = CFlatFileIndexFileItem(location, reason, info);
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "FileName=[%s]", path.c_str());
    }
    return CKoError::Success();
}

CKoError CPathCacheFlatFileIndexBuffer::RemoveFile(const std::string& path, const FXCodeLocation& location,
                                                   const std::string& reason, const FVBasePtr& /*info*/) {
    std::string folder, name;
    CKoError e = FXPath::SplitParentPath(path, folder, name);
    if (e.IsSuccess()) e = m_d->Switch(folder, location, reason, FVBasePtr());
    if (e.IsError()) return e.Push(ZY_HERE, "FileName=[%s]", path.c_str());
    if (!m_d->index) return CPathCacheFlatFileIndexBufferPrivate::NoIndex(ZY_HERE);
    FlatFileItemMapPtr current;
    e = m_d->index->GetCurrentItems(folder, current);
    if (e.IsError()) return e.Push(ZY_HERE, "FileName=[%s]", path.c_str());
    const bool known = (current && current->count(name) != 0) || m_d->files.count(name) != 0;
    if (!known) {
        ZYLOG(2, "Item to delete not found, Item=[%s]", path.c_str());
        return CKoError::Success();
    }
    ZYLOG(2, "Item to delete found, Item=[%s]", path.c_str());
    m_d->files[name] = CFlatFileIndexFileItem(location, reason, std::make_shared<CDirChangeItemBaseInfoImpl>(true));
    return CKoError::Success();
}

CKoError CPathCacheFlatFileIndexBuffer::RenameFile(const std::string& oldPath, const std::string& newPath,
                                                   const FXCodeLocation& location, const std::string& reason) {
    CKoError e = RemoveFile(oldPath, location, reason);
    if (e.IsSuccess()) e = AddFile(newPath, location, reason);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CPathCacheFlatFileIndexBuffer::RemoveFolder(const std::string& folder, const FXCodeLocation& location,
                                                     const std::string& reason) {
    if (m_d->buffered && FXPath::IsAncestorOf(folder, m_d->folder, true)) {
        CKoError e = m_d->Flush();
        if (e.IsError()) return e.Push(ZY_HERE, "Folder=[%s]", folder.c_str());
    }
    if (!m_d->index) return CPathCacheFlatFileIndexBufferPrivate::NoIndex(ZY_HERE);
    CKoError e = m_d->index->DeleteCurrentFolder(folder, location, reason);
    if (e.IsError()) return e.Push(ZY_HERE, "Folder=[%s]", folder.c_str());
    return CKoError::Success();
}

CKoError CPathCacheFlatFileIndexBuffer::RawWriteLine(const std::string& line) {
    if (!m_d->index) return CPathCacheFlatFileIndexBufferPrivate::NoIndex(ZY_HERE);
    CKoError e = m_d->index->RawWriteLineCurrent(line);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CPathCacheFlatFileIndexBuffer::FlushBuffer() {
    CKoError e = m_d->Flush();
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

std::string CPathCacheFlatFileIndexBuffer::GetCurrentBackingFilePath() const {
    return m_d->index ? m_d->index->GetCurrentBackingFilePath() : std::string();
}
