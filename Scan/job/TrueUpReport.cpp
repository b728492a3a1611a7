#include "scan/job/TrueUpReport.h"

#include <sys/stat.h>

#include "core/Env.h"
#include "core/SafePath.h"
#include "scan/Unix/CollectFileEncode.h"

CTrueUpReport::CTrueUpReport(std::vector<std::string> roots, FLineSink sink, CTrueUpDifferenceCallbackPtr next)
    : m_roots(std::move(roots)), m_sink(std::move(sink)), m_next(std::move(next)) {}

bool CTrueUpReport::Inside(const std::string& path) {
    for (const std::string& root : m_roots)
        if (FXSafePath::IsAtOrBelow(root, path)) return true;
    ++m_counts.outside;
    return false;
}

std::string CTrueUpReport::DescribeChanges(const CTrueUpDifferenceItem& item) {
    std::string text;
    auto add = [&text](const char* what) {
        if (!text.empty()) text += ", ";
        text += what;
    };
    const uint32_t changes = item.GetChanges();
    if (changes & CTrueUpDifferenceItem::CHANGE_SIZE) add("size");
    if (changes & CTrueUpDifferenceItem::CHANGE_MODIFIED_TIME) add("mtime");
    // A change-time difference that only security information explains.
    if (changes & CTrueUpDifferenceItem::CHANGE_CHANGE_TIME) add(item.IsACLOnly() ? "acl" : "ctime");
    if (changes & CTrueUpDifferenceItem::CHANGE_STUB) add("stub");
    return text;
}

void CTrueUpReport::Emit(const char* what, const CTrueUpDifferenceItem& item, const std::string& suffix) {
    if (!m_sink) return;
    escapeFileNameToPrint(item.GetPath(), m_printable);
    m_line.assign(what);
    m_line += ' ';
    m_line += m_printable;
    if (item.IsFolder() && (m_line.empty() || m_line.back() != '/')) m_line += '/';
    if (!suffix.empty()) m_line += " (" + suffix + ")";
    m_sink(m_line);
}

CKoError CTrueUpReport::OnNewItem(const CTrueUpDifferenceItemPtr& item) {
    if (!Inside(item->GetPath())) return CKoError::Success();
    struct stat st;
    if (!item->IsFolder() && ::lstat(item->GetPath().c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
        ++m_counts.sockets;  // nothing a backup keeps
        return CKoError::Success();
    }
    if (m_next) {
        CKoError e = m_next->OnNewItem(item);
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    ++m_counts.newItems;
    Emit("new", *item, std::string());
    return CKoError::Success();
}

CKoError CTrueUpReport::OnModifiedItem(const CTrueUpDifferenceItemPtr& item) {
    if (!Inside(item->GetPath())) return CKoError::Success();
    if (m_next) {
        CKoError e = m_next->OnModifiedItem(item);
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    ++m_counts.modifiedItems;
    Emit("modified", *item, DescribeChanges(*item));
    return CKoError::Success();
}

CKoError CTrueUpReport::OnDeletedItem(const CTrueUpDifferenceItemPtr& item) {
    if (!Inside(item->GetPath())) return CKoError::Success();
    FXFileStat st;
    CKoError seen = FXEnv::Current()->Stat(item->GetPath(), st, false);
    if (!FXErrorUtil::IsWin32(seen, ZyWin32::ERROR_FILE_NOT_FOUND) && !FXErrorUtil::IsErrNo(seen, ENOTDIR)) {
        ++m_counts.unverified;
        return CKoError::Success();
    }
    if (m_next) {
        CKoError e = m_next->OnDeletedItem(item);
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    ++m_counts.deletedItems;
    Emit("deleted", *item, std::string());
    return CKoError::Success();
}
