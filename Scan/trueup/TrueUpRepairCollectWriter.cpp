#include "scan/trueup/TrueUpRepairCollectWriter.h"

#include "core/LogWriter.h"
#include "core/Path.h"
#include "scan/Unix/CollectFileEncode.h"

CTrueUpRepairCollectWriter::CTrueUpRepairCollectWriter(std::string collectPath) : m_path(std::move(collectPath)) {}

CTrueUpRepairCollectWriter::~CTrueUpRepairCollectWriter() { Abandon(); }

CKoError CTrueUpRepairCollectWriter::Open() {
    m_file = std::make_unique<FXDurableReplace>(m_path);
    CKoError e = m_file->Open();
    if (e.IsError()) {
        m_file.reset();
        return e.Push(ZY_HERE, "Cannot write the TrueUp collect file, FileName=[%s]", m_path.c_str());
    }
    m_summary = STrueUpRepairSummary();
    m_lastDeletedFolder.clear();
    return CKoError::Success();
}

CKoError CTrueUpRepairCollectWriter::WriteItemLine(const CTrueUpDifferenceItem& item) {
    if (!m_file)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "The TrueUp collect file is not open");
    m_line.clear();
    escapeFileName(item.GetPath().c_str(), m_line);
    if (item.IsFolder() && !FXPath::HasTrailingDelimiter(m_line)) m_line.push_back('/');
    m_line.push_back('\n');
    CKoError e = m_file->Append(m_line);
    if (e.IsError()) return e.Push(ZY_HERE, "Path=[%s]", item.GetPath().c_str());
    return CKoError::Success();
}

CKoError CTrueUpRepairCollectWriter::OnNewItem(const CTrueUpDifferenceItemPtr& item) {
    CKoError e = WriteItemLine(*item);
    if (e.IsError()) return e.Push(ZY_HERE);
    ++m_summary.newItems;
    return CKoError::Success();
}

CKoError CTrueUpRepairCollectWriter::OnModifiedItem(const CTrueUpDifferenceItemPtr& item) {
    CKoError e = WriteItemLine(*item);
    if (e.IsError()) return e.Push(ZY_HERE);
    ++m_summary.modifiedItems;
    return CKoError::Success();
}

CKoError CTrueUpRepairCollectWriter::OnDeletedItem(const CTrueUpDifferenceItemPtr& item) {
    if (!m_file)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "The TrueUp collect file is not open");
    const std::string& path = item->GetPath();
    if (!m_lastDeletedFolder.empty() && FXPath::IsAncestorOf(m_lastDeletedFolder, path)) return CKoError::Success();
    FXFileStat st;
    CKoError seen = FXEnv::Current()->Stat(path, st, false);
    const bool gone = FXErrorUtil::IsWin32(seen, ZyWin32::ERROR_FILE_NOT_FOUND) || FXErrorUtil::IsErrNo(seen, ENOTDIR);
    if (!gone) {
        ZYLOG(1, "Item reported deleted is not gone, not deleting it from the backups, Path=[%s], Stat=[%s]",
              path.c_str(), seen.IsSuccess() ? "exists" : seen.AsString().c_str());
        ++m_summary.keptItems;
        return CKoError::Success();
    }
    m_line.assign(item->IsFolder() ? "??D" : "??d");
    std::string escaped;
    escapeFileName(path.c_str(), escaped);
    m_line += escaped;
    if (item->IsFolder() && !FXPath::HasTrailingDelimiter(m_line)) m_line.push_back('/');
    m_line.push_back('\n');
    CKoError e = m_file->Append(m_line);
    if (e.IsError()) return e.Push(ZY_HERE, "Path=[%s]", path.c_str());
    if (item->IsFolder()) m_lastDeletedFolder = path;
    ++m_summary.deletedItems;
    return CKoError::Success();
}

CKoError CTrueUpRepairCollectWriter::Commit() {
    if (!m_file)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "The TrueUp collect file is not open");
    CKoError e = m_file->Commit();
    m_file.reset();
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot write the TrueUp collect file, FileName=[%s]", m_path.c_str());
    return CKoError::Success();
}

void CTrueUpRepairCollectWriter::Abandon() {
    if (m_file) m_file->Abandon();
    m_file.reset();
}
