#include "TrueUpContainerDirChangeWriter.h"

#include "core/LogWriter.h"

CTrueUpContainerDirChangeWriter::~CTrueUpContainerDirChangeWriter() {
    // A writer that was not completed leaves an unfinished container, which comparisons refuse.
    if (m_buffer) m_buffer->Discard();
}

CKoError CTrueUpContainerDirChangeWriter::Open() {
    try {
        m_container = std::make_shared<CX::CContentContainer>();
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Failed to allocate memory");
    }
    m_container->SetName(m_name);
    if (m_container->Exists()) {
        ZYLOG(1, "TrueUp DirChange container already exists, FileName=[%s]. Deleting the stale Trueup DirChange file.",
              m_name.c_str());
        CKoError e = m_container->Delete();
        if (e.IsError()) {
            ZYLOG_ERROR("Failed to delete stale Trueup DirChange file [%s]. Error [%s] ", m_name.c_str(),
                        e.AsString().c_str());
            return e.Push(ZY_HERE);
        }
    }
    CKoError e = m_container->OpenExistingOrCreate();
    if (e.IsError()) return e.Push(ZY_HERE, "FileName=[%s]", m_name.c_str());
    m_buffer = std::make_unique<CTrueUpContentContainerBuffer>(m_container);
    m_buffer->SetFormatter(std::make_shared<CTrueUpContentContainerFormatter>());
    ZYLOG(1, "Opened new TrueUp DirChange container, FileName=[%s]", m_name.c_str());
    return CKoError::Success();
}

CKoError CTrueUpContainerDirChangeWriter::AddItem(const std::string& path, bool folder,
                                                  const CTrueUpDirChangeItemDataPtr& data) {
    if (!m_buffer)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "The DirChange container is not open");
    CTrueUpDirChangeItemPtr item;
    try {
        item = std::make_shared<CTrueUpDirChangeItem>(path, folder, data);
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Failed to allocate memory");
    }
    CKoError e = m_buffer->AddItem(item);
    if (e.IsError()) return e.Push(ZY_HERE, "File=[%s]", path.c_str());
    ++m_items;
    return CKoError::Success();
}

CKoError CTrueUpContainerDirChangeWriter::Complete(const std::string& origin, const std::string& query) {
    if (!m_buffer)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "The DirChange container is not open");
    CKoError e = m_buffer->Complete();
    // The origin goes last: it is what marks the container finished.
    if (e.IsSuccess()) e = m_container->SetOriginQuery(query);
    if (e.IsSuccess()) e = m_container->SetOrigin(origin);
    m_buffer.reset();
    m_container->Close();
    if (e.IsError()) return e.Push(ZY_HERE, "FileName=[%s]", m_name.c_str());
    return CKoError::Success();
}

void CTrueUpContainerDirChangeWriter::Abandon() {
    if (m_buffer) m_buffer->Discard();
    m_buffer.reset();
    if (m_container) m_container->Delete().IgnoreError();
}
