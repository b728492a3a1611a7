#include "scan/dirchange/SymLinkDirChange.h"

#include <cerrno>
#include <vector>

#include "core/Env.h"
#include "core/LogWriter.h"
#include "core/ScanMisc.h"
#include "core/StringUtil.h"
#include "scan/content/ContentMapper.h"
#include "scan/dirchange/PositionalLineSource.h"
#include "scan/dirchange/TreeDirChangeFileReader.h"

namespace {

using Flags = BDirChangeItemFlags;
using Trie = SymLinkDirChange::Trie;
using TrieNode = Trie::Node;

constexpr uint32_t kFileBits = static_cast<uint32_t>(Flags::CC_FILE) | static_cast<uint32_t>(Flags::CD_FILE) |
                               static_cast<uint32_t>(Flags::PD_FILE);

std::string_view WithoutTrailingDelimiters(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    return path;
}

// "/a/b" -> "/a", "b"; "/a" -> "/", "a". False when there is no parent or no name.
bool SplitFile(std::string_view path, std::string_view& folder, std::string_view& name) {
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    const size_t slash = path.rfind('/');
    if (path.empty() || slash == std::string_view::npos) return false;
    name = path.substr(slash + 1);
    size_t end = slash;
    while (end > 0 && path[end - 1] == '/') --end;
    folder = end == 0 ? std::string_view("/") : path.substr(0, end);
    return !name.empty();
}



// Marks the folders above current items, as the tree DirChange does.
class CSLIdentifyIntermediateItemsCallback : public CPathCacheOrderedTWalkNodeCallback<PathCacheNodePtr> {
public:
    bool OnNode(int depth, const std::shared_ptr<TrieNode>& node) override {
        if (depth < 1) return true;
        m_path.resize(static_cast<size_t>(depth));
        m_path[depth - 1] = node.get();
        if (!node->IsContentPresent() || !node->GetData()) return true;
        const Flags flags = node->GetData()->GetFlags();
        bool markCD = flags.IsSet(Flags::CURRENTDIRCHANGE);
        bool markCC = flags.IsSet(Flags::CURRENTCOLLECT);
        for (int d = depth; d >= 2 && (markCD || markCC); --d) {
            TrieNode* parent = m_path[d - 2];
            if (!parent->IsContentPresent() || !parent->GetData()) parent->SetData(std::make_shared<PathCacheNode>());
            Flags& parentFlags = parent->GetData()->GetFlags();
            if (parentFlags.IsAnySet(Flags::CURRENT_JOB_FLAGS_MASK)) markCD = false;
            if (markCD) parentFlags.Set(Flags::CD_INTERMEDIATE, true);
            if (parentFlags.IsAnySet(Flags::CURRENT_COLLECT_FLAGS_MASK)) markCC = false;
            if (markCC) parentFlags.Set(Flags::CC_INTERMEDIATE, true);
        }
        return true;
    }

private:
    std::vector<TrieNode*> m_path;
};

}  // namespace

SymLinkDirChange::SymLinkDirChange() : m_trie(std::make_shared<Trie>()) {}

SymLinkDirChange::~SymLinkDirChange() = default;

void SymLinkDirChange::setPDFInfo(const SymLinkItemInfoPtr& info) {
    if (info) m_previousFile.SetFileInfo(*info);
}

void SymLinkDirChange::setCDFInfo(const SymLinkItemInfoPtr& info) {
    if (info) m_currentFile.SetFileInfo(*info);
}

const SymLinkItemInfo& SymLinkDirChange::FileInfo(bool previous) {
    SymLinkItemInfo& info = previous ? m_previousFile : m_currentFile;
    // The current file is written while it is read: it is opened once it is asked about.
    if (!info.GetReader() && !info.GetFileName().empty()) {
        std::unique_ptr<FXRandomAccessFile> file;
        if (FXEnv::Current()->NewRandomAccessFile(info.GetFileName(), file).IsSuccess())
            info.SetReader(std::shared_ptr<FXRandomAccessFile>(std::move(file)));
    }
    return info;
}

CKoError SymLinkDirChange::ReadNames(const PathCacheNode& node, bool previous, std::set<std::string>& names) {
    const FileRegistry& registry = previous ? node.GetPreviousRegistry() : node.GetCurrentRegistry();
    return registry.ReadNames(FileInfo(previous), names);
}

PathCacheNode* SymLinkDirChange::FindFolder(const std::string& path) {
    const std::string_view key = WithoutTrailingDelimiters(path);
    if (m_findNode && key == m_findPath) return m_findNode;
    Trie::NodePtr node;
    if (m_trie->Search(key, node) != EPathCacheResult::FOUND_EXACT || !node->GetData()) return nullptr;
    // A node keeps its payload for good.
    m_findPath.assign(key);
    m_findNode = node->GetData().get();
    return m_findNode;
}

void SymLinkDirChange::CloseOpenSegment(int64_t offset) {
    if (m_openNode) m_openNode->closeSegment(offset, m_openFlags);
    m_openNode = nullptr;
}

CKoError SymLinkDirChange::AddItem(const std::string& path, BDirChangeItemFlags flags, const std::string& /*text*/,
                                   const FVBasePtr& info) {
    const bool file = flags.IsAnySet(kFileBits);
    std::string_view folder = WithoutTrailingDelimiters(path), name;
    if (file && !SplitFile(path, folder, name))
        return FXErrorUtil::ErrorErrNo(ZY_HERE, EINVAL, "Folder '%s' not found nor inserted", path.c_str());
    const auto* where = dynamic_cast<const SymLinkItemInfo*>(info.get());
    if (!where) return FXErrorUtil::ErrorErrNo(ZY_HERE, EINVAL, "itemInfo is not provided for SymLink content");
    // Which registry the item's segment goes to: the job its flags belong to.
    const Flags sideFlags(flags.GetValue() & (Flags::PREVIOUS_JOB_FLAGS_MASK | Flags::CURRENT_JOB_FLAGS_MASK));
    PathCacheNode* node = nullptr;
    bool created = false;
    if (m_lastNode && folder == m_lastFolder) {
        node = m_lastNode;
    } else {
        Trie::NodePtr trieNode;
        EPathCacheResult result;
        CKoError error = m_trie->SearchOrInsert(folder, trieNode, result);
        if (error.IsError())
            return error.Push(ZY_HERE, "Folder '%.*s' not found nor inserted", static_cast<int>(folder.size()), folder.data());
        if (!trieNode->GetData()) {
            try {
                trieNode->GetData() = std::make_shared<PathCacheNode>(flags);
            } catch (const std::bad_alloc&) {
                return FXErrorUtil::ErrorErrNo(ZY_HERE, ENOMEM, "can't allocate PathCacheNode object");
            }
            created = true;
        }
        node = trieNode->GetData().get();
        m_lastFolder.assign(folder);
        m_lastNode = node;
    }
    if (!created && flags.IsAnySet(Flags::CURRENT_JOB_FLAGS_MASK))
        node->GetFlags() = Flags::Merge(node->GetFlags(), flags);
    const int64_t lineStart = where->GetLineStart() >= 0 ? where->GetLineStart() : where->GetFileOffset();
    if (!file) {
        // A folder line: a block of the folder's file lines begins right after it.
        CloseOpenSegment(lineStart);
        node->startSegment(where->GetFileOffset(), sideFlags);
        m_openNode = node;
        m_openFlags = sideFlags;
    } else if (node != m_openNode) {
        // A file whose folder line was not the last one: its own line starts a segment.
        CloseOpenSegment(lineStart);
        node->startSegment(lineStart, sideFlags);
        m_openNode = node;
        m_openFlags = sideFlags;
    }
    return CKoError::Success();
}

CKoError SymLinkDirChange::LoadFile(const std::string& fileName, ContentMapperAPI* mapper) {
    std::unique_ptr<FXRandomAccessFile> file;
    CKoError error = FXEnv::Current()->NewRandomAccessFile(fileName, file);
    if (error.IsError()) return error.Push(ZY_HERE, "Failed to open previous DirChange file, FileName=%s", fileName.c_str());
    ZYLOG(1, "Using previous DirChange, FileName=%s", fileName.c_str());
    auto pdf = std::make_shared<SymLinkItemInfo>(0, fileName);
    m_report = SDirChangeLoadReport();
    CPositionalLineSource source(file.get(), 0);
    CTreeDirChangeFileReader reader(source, mapper, m_report);
    auto where = std::make_shared<SymLinkItemInfo>(0, fileName);
    const Flags folderFlags(Flags::PREVIOUSDIRCHANGE);
    for (;;) {
        CTreeDirChangeFileReader::EKind kind;
        error = reader.Next(kind);
        if (error.IsError()) return error.Push(ZY_HERE, "File error reading DirChange file, FileName=%s", fileName.c_str());
        if (kind == CTreeDirChangeFileReader::END) break;
        // The folder's segment covers its file lines: nothing to record per file.
        if (kind == CTreeDirChangeFileReader::FILE) continue;
        if (reader.Folder().empty()) {
            // An unusable folder line ends whatever block was open.
            CloseOpenSegment(static_cast<int64_t>(reader.LineStart()));
            continue;
        }
        where->SetFileOffset(static_cast<int64_t>(reader.Offset()));
        where->SetLineStart(static_cast<int64_t>(reader.LineStart()));
        error = AddItem(reader.Folder(), folderFlags, std::string(), where);
        if (error.IsError())
            ZYLOG_ERROR("Cannot add folder '%s' to container, error=%s", reader.Folder().c_str(), error.AsString().c_str());
    }
    const uint64_t good = reader.GoodEnd();
    // The file stays open: the names of its folders are read from it folder after folder.
    pdf->SetReader(std::shared_ptr<FXRandomAccessFile>(std::move(file)));
    setPDFInfo(pdf);
    CloseOpenSegment(static_cast<int64_t>(good));
    // The next items belong to the current job and start their own segments.
    m_lastNode = nullptr;
    m_lastFolder.clear();
    if (m_report.HasSkipped())
        ZYLOG(1, "DirChange loaded with lines left out, FileName=[%s], %s", fileName.c_str(), m_report.Summary().c_str());
    m_previousLoaded = true;
    return CKoError::Success();
}

EPathCacheResult SymLinkDirChange::search(const std::string& path, BDirChangeItemFlags& flags) {
    const Flags asked = flags;
    if (asked.IsAnySet(kFileBits)) {
        std::string_view folder, name;
        if (!SplitFile(path, folder, name)) return EPathCacheResult::NOT_FOUND;
        thread_local std::string folderPath, nameText;
        folderPath.assign(folder);
        PathCacheNode* node = FindFolder(folderPath);
        if (!node) {
            Trie::NodePtr found;
            const EPathCacheResult result = m_trie->Search(folder, found);
            if (found && found->GetData()) flags = found->GetData()->GetFlags();
            return result == EPathCacheResult::FOUND_EXACT ? EPathCacheResult(EPathCacheResult::NOT_FOUND) : result;
        }
        flags = node->GetFlags();
        nameText.assign(name);
        return node->search(nameText, asked, FileInfo(asked.IsSet(Flags::PD_FILE)));
    }
    Trie::NodePtr found;
    const EPathCacheResult result = m_trie->Search(WithoutTrailingDelimiters(path), found);
    if (found && found->GetData()) flags = found->GetData()->GetFlags();
    return result;
}

EPathCacheResult SymLinkDirChange::search(const std::string& path, BDirChangeItemFlags& flags, FVBasePtr& /*info*/) {
    return search(path, flags);
}

CKoError SymLinkDirChange::LookupFile(const std::string& path, bool previous, bool& found) {
    found = false;
    std::string_view folder, name;
    if (!SplitFile(path, folder, name)) return CKoError::Success();
    thread_local std::string folderPath, nameText;
    folderPath.assign(folder);
    PathCacheNode* node = FindFolder(folderPath);
    if (!node || !node->GetFlags().IsAnySet(previous ? Flags::PREVIOUS_JOB_FLAGS_MASK : Flags::CURRENT_JOB_FLAGS_MASK))
        return CKoError::Success();
    nameText.assign(name);
    FileRegistry& registry = previous ? node->GetPreviousRegistry() : node->GetCurrentRegistry();
    CKoError error = registry.Lookup(nameText, FileInfo(previous), found);
    if (error.IsError()) return error.Push(ZY_HERE, "Folder=[%s]", folderPath.c_str());
    return CKoError::Success();
}

bool SymLinkDirChange::IsItemInPreviousJob(const std::string& path, PREVIOUS_JOB_FLAGS which) {
    Flags flags;
    return IsItemInPreviousJob(path, flags, which);
}

bool SymLinkDirChange::IsItemInPreviousJob(const std::string& path, BDirChangeItemFlags& flags, PREVIOUS_JOB_FLAGS which) {
    flags = Flags(which);
    return search(path, flags) == EPathCacheResult::FOUND_EXACT && flags.IsAnySet(Flags::PREVIOUS_JOB_FLAGS_MASK);
}

bool SymLinkDirChange::IsItemInCurrentCollect(const std::string& path, CURRENT_COLLECT_FLAGS which) {
    Flags flags;
    return IsItemInCurrentCollect(path, flags, which);
}

bool SymLinkDirChange::IsItemInCurrentCollect(const std::string& path, BDirChangeItemFlags& flags,
                                              CURRENT_COLLECT_FLAGS which) {
    flags = Flags(which);
    return search(path, flags) == EPathCacheResult::FOUND_EXACT && flags.IsAnySet(Flags::CURRENT_COLLECT_FLAGS_MASK);
}

bool SymLinkDirChange::IsItemInCurrentDirChange(const std::string& path, CURRENT_JOB_FLAGS which) {
    Flags flags;
    return IsItemInCurrentDirChange(path, flags, which);
}

bool SymLinkDirChange::IsItemInCurrentDirChange(const std::string& path, BDirChangeItemFlags& flags,
                                                CURRENT_JOB_FLAGS which) {
    flags = Flags(which);
    return search(path, flags) == EPathCacheResult::FOUND_EXACT && flags.IsAnySet(Flags::CURRENT_JOB_FLAGS_MASK);
}

bool SymLinkDirChange::IsItemEligibleForCurrentCollect(const std::string& path, CURRENT_JOB_FLAGS which) {
    Flags flags;
    return IsItemEligibleForCurrentCollect(path, flags, which);
}

bool SymLinkDirChange::IsItemEligibleForCurrentCollect(const std::string& path, BDirChangeItemFlags& flags,
                                                       CURRENT_JOB_FLAGS which) {
    return IsItemInCurrentDirChange(path, flags, which);
}

bool SymLinkDirChange::IsWritten(const std::string& path, ACTIVITY_FLAGS bit) {
    PathCacheNode* node = FindFolder(path);
    return node && node->GetFlags().IsSet(bit);
}

CKoError SymLinkDirChange::SetWritten(const std::string& path, ACTIVITY_FLAGS bit) {
    Trie::NodePtr trieNode;
    EPathCacheResult result;
    CKoError error = m_trie->SearchOrInsert(WithoutTrailingDelimiters(path), trieNode, result);
    if (error.IsError()) return error.Push(ZY_HERE, "Folder '%s' not found nor inserted", path.c_str());
    try {
        if (!trieNode->GetData()) trieNode->GetData() = std::make_shared<PathCacheNode>();
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorErrNo(ZY_HERE, ENOMEM, "can't allocate PathCacheNode object");
    }
    trieNode->GetData()->GetFlags().Set(bit, true);
    return CKoError::Success();
}

CKoError SymLinkDirChange::IdentifyIntermediateNodes() {
    CSLIdentifyIntermediateItemsCallback callback;
    m_trie->WalkNode(callback);
    return CKoError::Success();
}

void SymLinkDirChange::DumpDiagnosticData() {
    if (!ZyLogEnabled(5)) return;
    m_trie->DumpToLog(5, "SymLinkDirChange");
}
