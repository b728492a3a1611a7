#include "scan/collect/FlatCollectFile.h"

#include "agent/EventMessenger.h"
#include "core/LineReader.h"
#include "core/LogWriter.h"

namespace {

bool ModeToWriteMode(const std::string& mode, EWriteMode& out) {
    const char first = mode.empty() ? 'w' : mode[0];
    if (first == 'w') {
        out = EWriteMode::Truncate;
        return true;
    }
    if (first == 'a') {
        out = EWriteMode::Append;
        return true;
    }
    return false;
}

}  // namespace

CFlatCollectFile::CFlatCollectFile(long long id, const std::string& fileName, const std::string& mode)
    : CProxyItemConsumer(id), m_fileName(fileName) {
    std::lock_guard<std::mutex> lock(m_mutex);
    CKoError e = OpenLocked(mode);
    if (e.IsError())
        ZYLOG(-1, "Failed to open output file '%s', error=%s", m_fileName.c_str(), e.AsString().c_str());
}

CFlatCollectFile::~CFlatCollectFile() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_output.IsOpen()) {
        CKoError e = m_output.Close();
        if (e.IsError()) ZYLOG(-1, "Close failed, FileName=[%s], error=%s", m_fileName.c_str(), e.AsString().c_str());
    }
}

CKoError CFlatCollectFile::OpenLocked(const std::string& mode) {
    EWriteMode writeMode;
    if (!ModeToWriteMode(mode, writeMode))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "Unsupported mode '%s'", mode.c_str());
    CKoError e = m_output.Open(m_fileName, writeMode);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

bool CFlatCollectFile::IsOpen() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_output.IsOpen();
}

CKoError CFlatCollectFile::Open(const std::string& mode) {
    if (mode.empty() || mode[0] != 'a') {
        m_bytes.store(0, std::memory_order_relaxed);
        m_folders.store(0, std::memory_order_relaxed);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    CKoError e = OpenLocked(mode);
    if (e.IsError()) {
        IEventMessenger::SendEvent(kEventOpenFailed, {m_fileName});
        ZYLOG(-1, "Failed to open output file '%s', error=%s", m_fileName.c_str(), e.AsString().c_str());
        return e.Push(ZY_HERE, "Failed to open output file '%s'", m_fileName.c_str());
    }
    return CKoError::Success();
}

CKoError CFlatCollectFile::Close() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_output.IsOpen()) return CKoError::Success();
    CKoError e = m_output.Close();
    if (e.IsError()) return e.Push(ZY_HERE, "Failed to write collect file '%s'", m_fileName.c_str());
    return CKoError::Success();
}

long long CFlatCollectFile::tellp() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_output.IsOpen() ? static_cast<long long>(m_output.Size()) : 0;
}

CKoError CFlatCollectFile::ClosedFileError(const FXCodeLocation& where) {
    IEventMessenger::SendEvent(kEventWriteToClosedFile, {m_fileName});
    return FXErrorUtil::ErrorWin32(where, ZyWin32::ERROR_INVALID_HANDLE, "Collect file is not open, FileName=[%s]",
                                   m_fileName.c_str());
}

CKoError CFlatCollectFile::RawWriteItem(const std::string& line, unsigned long long size) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_output.IsOpen()) {
            CKoError e = m_output.AppendLine(line);
            if (e.IsError()) return e.Push(ZY_HERE, "Failed to write to collect file '%s'", m_fileName.c_str());
            AddProcessedBytes(size);
            return CKoError::Success();
        }
    }
    return ClosedFileError(ZY_HERE);
}

CKoError CFlatCollectFile::RawAppendFile(const std::string& path) {
    FXLineReader reader;
    CKoError e = reader.Open(path);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot read file [%s] to append to '%s'", path.c_str(), m_fileName.c_str());
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_output.IsOpen()) return ClosedFileError(ZY_HERE);
    for (;;) {
        std::string_view line;
        bool got = false;
        e = reader.Next(line, got);
        if (e.IsError()) return e.Push(ZY_HERE, "Cannot read file [%s]", path.c_str());
        if (!got) return CKoError::Success();
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        e = m_output.AppendLine(line);
        if (e.IsError()) return e.Push(ZY_HERE, "Failed to write to collect file '%s'", m_fileName.c_str());
    }
}

CKoError CFlatCollectFile::Process(std::shared_ptr<CItem> item) {
    CKoError e = TranslateToSourcePath(item->GetPath(), m_source);
    if (e.IsError()) return e.Push(ZY_HERE);
    e = RawWriteItem(m_source, 0);
    if (e.IsError()) return e.Push(ZY_HERE);
    IncrementProcessedItemsCount();
    return CKoError::Success();
}
