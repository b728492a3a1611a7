#include "scan/collect/UnixFlatCollectFile.h"

#include "core/LogWriter.h"
#include "scan/Unix/CollectFileEncode.h"
#include "scan/collect/FlatCollectLine.h"

namespace {

uint64_t NumberProperty(const CItem& item, const char* name) {
    if (const auto* u = item.GetProperty<unsigned long long>(name)) return *u;
    if (const auto* s = item.GetProperty<long long>(name)) return *s > 0 ? static_cast<uint64_t>(*s) : 0;
    return 0;
}

uint64_t UnixTime(const timespec& t) { return t.tv_sec > 0 ? static_cast<uint64_t>(t.tv_sec) : 0; }

}  // namespace

CUnixFlatCollectFile::~CUnixFlatCollectFile() = default;

CKoError CUnixFlatCollectFile::Process(std::shared_ptr<CItem> itemPtr) {
    const CItem& item = *itemPtr;
    if (!IsOpen()) return ClosedFileError(ZY_HERE).Push(ZY_HERE, "Cannot write item [%s]", item.GetPath().c_str());

    CKoError e = TranslateToSourcePath(item.GetPath(), m_source);
    if (e.IsError()) return e.Push(ZY_HERE);
    escapeFileName(m_source.c_str(), m_escaped);
    if (item.IsFolder() && (m_escaped.empty() || m_escaped.back() != '/')) m_escaped.push_back('/');

    const std::string* previousPath = item.GetProperty<std::string>(kPropertyPreviousPath);
    const bool deleted = item.GetBoolProperty(kPropertyDeleted);
    const bool migrationAssistant = item.GetBoolProperty(kPropertyMigrationAssistant);
    const bool contentPush = item.GetBoolProperty(kPropertyContentPush);
    bool extentQualified = item.GetBoolProperty(kPropertyExtentQualified);
    uint64_t extentSize = 0;
    bool aclOnly = false;
    if (extentQualified) {
        extentSize = NumberProperty(item, kPropertyExtentSize);
        if (extentSize == 0) extentQualified = false;
        aclOnly = item.GetBoolProperty(kPropertyAclOnly);
        const bool explicitly = item.GetBoolProperty(kPropertyExtentExplicit);
        if (extentQualified && !aclOnly && !explicitly) extentQualified = false;
        ZYLOG(5, "Extent Qualified File [ %d], ACL Only File [%d], Extent Feature Enabled Explicitly [%d] [%s]",
              extentQualified, aclOnly, explicitly, m_escaped.c_str());
    }

    SFlatCollectLine line;
    if (deleted) {
        line.startCharacters = CFlatCollectLine::kDeleted;
        ZYLOG(2, "Deleted file %s", m_escaped.c_str());
    } else if (item.GetBoolProperty(kPropertyAdHoc)) {
        line.startCharacters = CFlatCollectLine::kAdHoc;
    } else if (migrationAssistant) {
        line.startCharacters = CFlatCollectLine::kMigrationAssistant;
    } else if (contentPush) {
        line.startCharacters = CFlatCollectLine::kContentPush;
    }
    line.rawDevice = item.GetBoolProperty(kPropertyRawDevice);
    line.appleDouble = item.GetBoolProperty(kPropertyAppleDouble);
    line.name = m_escaped;
    const uint64_t itemSize = item.Stat().size > 0 ? static_cast<uint64_t>(item.Stat().size) : 0;
    line.size = itemSize;
    if (extentQualified) {
        line.marker = aclOnly ? SFlatCollectLine::CONTAINER_ACL : SFlatCollectLine::EXTENT_QUALIFIED;
        const SItemStat& st = item.Stat();
        line.times[0] = UnixTime(st.ctime);
        line.times[1] = UnixTime(st.atime);
        line.times[2] = UnixTime(st.mtime);
        line.extentItemSize = line.rawDevice ? NumberProperty(item, kPropertyRawDeviceSize) : itemSize;
        line.extentSize = extentSize;
    }
    m_line.clear();
    CFlatCollectLine::Format(line, m_line);
    e = RawWriteItem(m_line, 0);
    if (e.IsError()) return e.Push(ZY_HERE);
    if (!deleted) AddProcessedBytes(itemSize);
    if (item.IsFolder()) IncrementProcessedFolderCount();
    IncrementProcessedItemsCount();

    if (previousPath && !previousPath->empty()) {
        ZYLOG(2, "Adding renamed item [%s] as deleted", previousPath->c_str());
        escapeFileName(previousPath->c_str(), m_previous);
        m_line.assign(CFlatCollectLine::kDeleted);
        if (line.appleDouble) m_line.append(CFlatCollectLine::kAppleDoublePrefix);
        m_line.append(m_previous);
        m_line.push_back('|');
        CFlatCollectLine::AppendNumber(m_line, itemSize);
        e = RawWriteItem(m_line, 0);
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    return CKoError::Success();
}
