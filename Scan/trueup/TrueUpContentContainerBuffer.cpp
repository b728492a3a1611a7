#include "scan/trueup/TrueUpContentContainerBuffer.h"

#include "core/Env.h"
#include "core/LogWriter.h"
#include "core/Path.h"

CTrueUpContentContainerBuffer::CTrueUpContentContainerBuffer(std::shared_ptr<CX::CContentContainer> container)
    : m_container(std::move(container)) {}

CTrueUpContentContainerBuffer::~CTrueUpContentContainerBuffer() {
    CKoError e = Complete();
    if (e.IsError()) ZYLOG_ERROR("Complete failed, error=%s", e.AsString().c_str());
}

CKoError CTrueUpContentContainerBuffer::AddItem(const CTrueUpDirChangeItemPtr& item) {
    if (!item) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "No item to add");
    try {
        m_cached.push_back(CCachedItem{item});
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Cannot cache the item, File=[%s]",
                                       item->GetFileName().c_str());
    }
    if (static_cast<int>(m_cached.size()) >= m_batchSize) {
        CKoError e = FlushItems();
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    return CKoError::Success();
}

// The folder's id, made from `describedBy` when the container lacks it and a formatter is set.
CKoError CTrueUpContentContainerBuffer::FolderId(const std::string& folder, const CTrueUpDirChangeItemPtr& describedBy,
                                                 bool parent, int64_t& id, bool& found) {
    found = false;
    if (m_lastFolderId >= 0 && FXPath::IsSamePathAs(folder, m_lastFolder)) {
        id = m_lastFolderId;
        found = true;
        return CKoError::Success();
    }
    CKoError e = m_container->QueryFolderId(folder, id);
    if (e.IsError() && !FXErrorUtil::IsWin32(e, ZyWin32::ERROR_NOT_FOUND)) return e.Push(ZY_HERE);
    if (e.IsError()) {
        if (!m_formatter) return CKoError::Success();
        std::string metadata;
        e = parent ? m_formatter->CreateParentMetadata(describedBy, metadata)
                   : m_formatter->CreateMetadata(describedBy, metadata);
        if (e.IsSuccess()) e = m_container->InsertFolder(folder, metadata, id);
        if (e.IsError()) return e.Push(ZY_HERE, "Folder=[%s]", folder.c_str());
    }
    m_lastFolder = folder;
    m_lastFolderId = id;
    found = true;
    return CKoError::Success();
}

CKoError CTrueUpContentContainerBuffer::WriteItem(const CTrueUpDirChangeItemPtr& described, int64_t now) {
    const CTrueUpDirChangeItem& item = *described;
    std::string parent, name;
    const bool hasParent = FXPath::SplitParentPath(item.GetFileName(), parent, name).IsSuccess();
    int64_t parentId = -1, id = -1;
    bool found = false;
    if (hasParent) {
        CKoError e = FolderId(parent, described, true, parentId, found);
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    if (item.IsFolder()) {
        // The root has no parent to find; every other folder needs one like a file does.
        if (hasParent && !found) {
            ZYLOG(1, "Ignoring item with no parent folder, FileName=[%s]", item.GetFileName().c_str());
            return CKoError::Success();
        }
        CKoError e = FolderId(item.GetFileName(), described, false, id, found);
        if (e.IsError()) return e.Push(ZY_HERE);
        if (!found) ZYLOG(1, "Ignoring item with no parent folder, FileName=[%s]", item.GetFileName().c_str());
        return CKoError::Success();
    }
    if (!found) {
        ZYLOG(1, "Ignoring item with no parent folder, FileName=[%s]", item.GetFileName().c_str());
        return CKoError::Success();
    }
    std::string metadata;
    CKoError e = m_formatter ? m_formatter->CreateMetadata(described, metadata) : CKoError::Success();
    if (e.IsSuccess()) e = m_container->InsertOrUpdateFile(parentId, name, now, metadata);
    if (e.IsError()) return e.Push(ZY_HERE, "File=[%s]", item.GetFileName().c_str());
    return CKoError::Success();
}

CKoError CTrueUpContentContainerBuffer::FlushItems() {
    if (m_cached.empty()) return CKoError::Success();
    if (!m_container)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "The buffer has no container");
    CKoError e = m_container->BeginTransaction(m_transaction);
    const int64_t now = FXEnv::Current()->NowMicros();
    for (auto it = m_cached.begin(); e.IsSuccess() && it != m_cached.end(); ++it) e = WriteItem(it->item, now);
    if (e.IsSuccess()) e = m_transaction->Commit();
    if (m_transaction) m_transaction->Rollback();
    m_transaction.reset();
    m_cached.clear();
    if (e.IsError()) {
        // Ids that a rolled-back batch handed out are gone with it.
        m_lastFolderId = -1;
        m_lastFolder.clear();
        return e.Push(ZY_HERE, "Cannot write a batch to the DirChange container, FileName=[%s]",
                      m_container->GetName().c_str());
    }
    return CKoError::Success();
}

CKoError CTrueUpContentContainerBuffer::Complete() {
    CKoError e = FlushItems();
    if (e.IsSuccess() && m_container) e = m_container->FlushQueue();
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}
