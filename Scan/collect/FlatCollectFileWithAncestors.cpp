#include "scan/collect/FlatCollectFileWithAncestors.h"

#include "core/LogWriter.h"
#include "core/Path.h"
#include "scan/Unix/CollectFileEncode.h"
#include "scan/collect/FlatCollectLine.h"
#include "scan/collect/UnixFlatCollectFile.h"

namespace {

// A folder that became an item of its own stays one.
struct KeepWritten {
    static int OnExists(int existing, int value) { return existing | value; }
};

std::string_view ParentOf(std::string_view path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return std::string_view();
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

}  // namespace

CFlatCollectFileWithAncestors::CFlatCollectFileWithAncestors(long long id) : CProxyItemConsumer(id) {}

CFlatCollectFileWithAncestors::~CFlatCollectFileWithAncestors() = default;

CKoError CFlatCollectFileWithAncestors::Process(std::shared_ptr<CItem> item) {
    if (item->GetBoolProperty(CUnixFlatCollectFile::kPropertyDeleted)) return CKoError::Success();
    std::lock_guard<std::mutex> lock(m_mutex);
    CKoError e = TranslateToSourcePath(item->GetPath(), m_source);
    if (e.IsError()) return e.Push(ZY_HERE);
    IncrementProcessedItemsCount();
    if (item->IsFolder()) {
        e = m_folders.InsertOrUpdate<KeepWritten>(m_source, kFolderWritten);
        if (e.IsError()) return e.Push(ZY_HERE, "Cannot record folder [%s]", m_source.c_str());
        ZYLOG(7, "AC### added [%s]", m_source.c_str());
        return CKoError::Success();
    }
    const std::string_view parent = ParentOf(m_source);
    // The files of one folder come in a row: one insertion per folder.
    if (parent.empty() || parent == m_lastParent) return CKoError::Success();
    e = m_folders.Insert(parent, kFolderAncestor);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot record folder of [%s]", m_source.c_str());
    m_lastParent.assign(parent);
    ZYLOG(7, "AC### added [%s]", m_lastParent.c_str());
    return CKoError::Success();
}

namespace {

class CAncestorWriter : public CPathCacheUnorderedT<int>::WalkCallback {
public:
    explicit CAncestorWriter(const CFlatCollectFileWithAncestors::CollectFileList& files) : m_files(files) {}

    bool OnNode(const std::string& path, const std::string&, int depth, BPathCacheNodeFlags flags,
                const int& data) override {
        if (depth <= 1) return true;  // "/" itself is never written
        if (flags.IsSet(BPathCacheNodeFlags::CONTENT_PRESENT) && data == CFlatCollectFileWithAncestors::kFolderWritten)
            return true;
        const std::shared_ptr<CFlatCollectFile>* target = nullptr;
        size_t best = 0;
        for (const auto& [prefix, file] : m_files) {
            if (file && FXPath::IsAncestorOf(prefix, path, true) && (!target || prefix.size() > best)) {
                target = &file;
                best = prefix.size();
            }
        }
        if (!target) {
            Keep(FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "can't find collect file for %s",
                                         path.c_str()));
            return true;
        }
        escapeFileName(path.c_str(), m_escaped);
        m_escaped.push_back('/');
        SFlatCollectLine line;
        line.name = m_escaped;
        m_line.clear();
        CFlatCollectLine::Format(line, m_line);
        CKoError e = (*target)->RawWriteItem(m_line, 0);
        if (e.IsError()) Keep(e.Push(ZY_HERE, "Cannot write ancestor folder [%s]", path.c_str()));
        else ++m_written;
        return true;
    }

    const CKoError& FirstError() const { return m_first; }
    size_t Written() const { return m_written; }

private:
    void Keep(CKoError e) {
        ZYLOG(-1, "%s", e.AsString().c_str());
        if (m_first.IsSuccess()) m_first = e;
    }

    const CFlatCollectFileWithAncestors::CollectFileList& m_files;
    std::string m_escaped, m_line;
    CKoError m_first;
    size_t m_written = 0;
};

}  // namespace

CKoError CFlatCollectFileWithAncestors::Close(const CollectFileList& files) {
    std::lock_guard<std::mutex> lock(m_mutex);
    CAncestorWriter writer(files);
    m_folders.Walk(writer);
    ZYLOG(3, "Ancestor folders written=[%zu]", writer.Written());
    CKoError e = writer.FirstError();
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

size_t CFlatCollectFileWithAncestors::GetMemoryUsed() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_folders.GetMemoryUsed();
}
