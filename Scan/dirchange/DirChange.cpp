#include "scan/dirchange/DirChange.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "core/File.h"
#include "core/LogWriter.h"
#include "core/Path.h"
#include "core/ScanMisc.h"
#include "core/StringUtil.h"
#include "core/TimeStamp.h"
#include "scan/content/ContentMapper.h"
#include "scan/dirchange/DirChangeFileFormat.h"
#include "scan/dirchange/PathCacheCombineFlags.h"
#include "scan/dirchange/DirChangeFileLineReader.h"

namespace {

using Flags = BDirChangeItemFlags;
using Node = CPathCacheOrderedTNode<Flags>;
using NodePtr = std::shared_ptr<Node>;

constexpr int kDumpLevel = 5;
// What GetMemoryUsed adds to the trie's estimate for the object itself.
constexpr int64_t kObjectBytes = 104;
// Output is gathered and written in pieces of about this size.
constexpr size_t kWriteChunk = 256 * 1024;

// Only these texts can be in moniker form; every other folder line is taken as it is, without the
// copy the conversion makes.
bool MayBeMoniker(std::string_view path) {
    if (!path.empty() && path[0] == '/') path.remove_prefix(1);
    return FXString::MatchLeftNoCase(path, SXScanMisc::kUncMonikerPrefix);
}

// The parent of a path as FXPath::SplitParentPath gives it, without copying: false when the path
// has no parent ("", "/", "name").
bool ParentOf(std::string_view path, std::string_view& parent) {
    size_t n = path.size();
    while (n > 1 && path[n - 1] == '/') --n;
    const std::string_view p = path.substr(0, n);
    const size_t slash = p.rfind('/');
    if (p.empty() || slash == std::string_view::npos || (p.size() == 1 && slash == 0)) return false;
    size_t end = slash;
    while (end > 0 && p[end - 1] == '/') --end;
    parent = end == 0 ? std::string_view("/") : p.substr(0, end);
    return true;
}

// A path as output files show it: network paths in moniker form. `scratch` holds a converted
// path; nothing is copied for the others.
std::string_view AsWritten(const std::string& path, std::string& scratch) {
    if (!FXFile::IsVolumeUnc(path)) return path;
    scratch = SXScanMisc::ConvertToUncMoniker(path);
    return scratch;
}

// Gathers lines and writes them to a stream in large pieces; remembers the first failed write
// and writes nothing after it.
class COutputBuffer {
public:
    explicit COutputBuffer(FILE* out) : m_out(out) { m_buffer.reserve(kWriteChunk + 4096); }

    std::string& Text() { return m_buffer; }
    bool Failed() const { return m_error.IsError(); }
    void Written() {
        if (m_buffer.size() >= kWriteChunk) Flush();
    }
    CKoError Finish() {
        Flush();
        return m_error;
    }

private:
    void Flush() {
        if (m_buffer.empty() || m_error.IsError()) return;
        errno = 0;
        // A short count is not the only sign: some streams take the bytes and only flag the error.
        if (std::fwrite(m_buffer.data(), 1, m_buffer.size(), m_out) != m_buffer.size() || std::ferror(m_out)) {
            const int err = errno ? errno : EIO;
            m_error = FXErrorUtil::ErrorErrNo(ZY_HERE, err, "Write failed, Size=[%zu]", m_buffer.size());
        }
        m_buffer.clear();
    }

    FILE* m_out;
    std::string m_buffer;
    CKoError m_error;
};

// The current DirChange: a folder's files (pass 0) before everything else (pass 1).
class CWriteCurrentDirChangeCallback : public CPathCacheOrderedTWalkCallback<Flags> {
public:
    explicit CWriteCurrentDirChangeCallback(COutputBuffer& out) : m_out(out) {}

    int GetNumberOfPasses() override { return 2; }
    bool IsInPass(int pass, const ChildIterator& child) override {
        const Node& node = *child.Get();
        const bool file = node.IsContentPresent() && node.GetData().IsSet(Flags::CD_FILE);
        return pass == 0 ? file : pass == 1 && !file;
    }
    bool OnNode(const std::string& path, const std::string& name, int /*depth*/, BPathCacheNodeFlags nodeFlags,
                const Flags& data) override {
        if (m_out.Failed()) return false;
        if (nodeFlags.IsClear(BPathCacheNodeFlags::CONTENT_PRESENT) || !data.IsAnySet(Flags::CURRENT_JOB_FLAGS_MASK))
            return true;
        const bool file = data.IsSet(Flags::CD_FILE);
        if (file) {
            std::string_view parent;
            if (!ParentOf(path, parent)) parent = std::string_view();
            m_folder.assign(parent);
        } else {
            m_folder = path;
            FXPath::Append(m_folder, "\\", 0).IgnoreError();
        }
        std::string& text = m_out.Text();
        if (!m_haveLast || !FXPath::IsSamePathAs(m_folder, m_lastFolder)) {
            text.append(AsWritten(m_folder, m_scratch));
            text.push_back('\n');
            m_lastFolder = m_folder;
            m_haveLast = true;
        }
        if (file) CDirChangeFileFormat::AppendTreeFileLine(text, name);
        m_out.Written();
        return true;
    }

private:
    COutputBuffer& m_out;
    std::string m_folder, m_lastFolder, m_scratch;
    bool m_haveLast = false;
};

class CWriteCurrentCollectCallback : public CPathCacheOrderedTWalkCallbackVertical<Flags> {
public:
    explicit CWriteCurrentCollectCallback(COutputBuffer& out) : m_out(out) {}

    bool OnNode(const std::string& path, const std::string& /*name*/, int /*depth*/, BPathCacheNodeFlags nodeFlags,
                const Flags& data) override {
        if (m_out.Failed()) return false;
        if (nodeFlags.IsClear(BPathCacheNodeFlags::CONTENT_PRESENT)) return true;
        std::string& text = m_out.Text();
        if (data.IsSet(Flags::CURRENTCOLLECT)) {
            text += "*??";
            text.append(AsWritten(path, m_scratch));
            text.push_back('\n');
            ++m_count;
        } else if (data.IsSet(Flags::CC_INTERMEDIATE)) {
            text += "???";
            text.append(AsWritten(path, m_scratch));
            text += "?\n";
        }
        m_out.Written();
        return true;
    }
    int64_t Count() const { return m_count; }

private:
    COutputBuffer& m_out;
    std::string m_scratch;
    int64_t m_count = 0;
};

// Items with previous-job bits and no current-job bit, to a stream and/or a line writer.
class CDeletedItemsCallback : public CPathCacheOrderedTWalkCallbackVertical<Flags> {
public:
    CDeletedItemsCallback(COutputBuffer* out, bool listEveryItem, CLineWriter* writer, std::string prefix)
        : m_out(out), m_listEveryItem(listEveryItem), m_writer(writer), m_prefix(std::move(prefix)) {}

    bool OnNode(const std::string& path, const std::string& /*name*/, int depth, BPathCacheNodeFlags nodeFlags,
                const Flags& data) override {
        if (m_out && m_out->Failed()) return false;
        if (depth < 1 || nodeFlags.IsClear(BPathCacheNodeFlags::CONTENT_PRESENT)) return true;
        if (!data.IsAnySet(Flags::PREVIOUS_JOB_FLAGS_MASK) || data.IsAnySet(Flags::CURRENT_JOB_FLAGS_MASK)) return true;
        const bool file = data.IsSet(Flags::PD_FILE);
        const std::string_view shown = AsWritten(path, m_scratch);
        m_line.clear();
        if (FXString::MatchLeftNoCase(shown, SXScanMisc::kUncMonikerPrefix)) m_line.push_back('/');
        m_line.append(shown);
        if (!file) FXPath::AppendTrailingDelimiter(m_line);
        if (m_out) {
            std::string& text = m_out->Text();
            text += (m_listEveryItem || file) ? "??d" : "??D";
            text += m_line;
            text.push_back('\n');
            m_out->Written();
        }
        if (m_writer) m_writer->WriteLine("%s: %s    %s", m_prefix.c_str(), m_line.c_str(), data.AsString().c_str()).IgnoreError();
        // A folder line without listEveryItem stands for everything below it.
        return m_listEveryItem || file;
    }

private:
    COutputBuffer* m_out;
    bool m_listEveryItem;
    CLineWriter* m_writer;
    std::string m_prefix;
    std::string m_line, m_scratch;
};

class CIntermediateNodesCallback : public CPathCacheOrderedTWalkNodeCallback<Flags> {
public:
    bool OnNode(int depth, const NodePtr& node) override {
        if (depth < 1) return true;
        // The walk is pre-order: the nodes above this one are the last ones seen at each depth.
        m_path.resize(static_cast<size_t>(depth));
        m_path[depth - 1] = node.get();
        if (!node->IsContentPresent()) return true;
        const Flags flags = node->GetData();
        bool markCD = flags.IsSet(Flags::CURRENTDIRCHANGE);
        bool markCC = flags.IsSet(Flags::CURRENTCOLLECT);
        for (int d = depth; d >= 2 && (markCD || markCC); --d) {
            Node* parent = m_path[d - 2];
            if (!parent->IsContentPresent()) parent->SetData(Flags());
            Flags& parentFlags = parent->GetData();
            if (parentFlags.IsAnySet(Flags::CURRENT_JOB_FLAGS_MASK)) markCD = false;
            if (markCD) parentFlags.Set(Flags::CD_INTERMEDIATE, true);
            if (parentFlags.IsAnySet(Flags::CURRENT_COLLECT_FLAGS_MASK)) markCC = false;
            if (markCC) parentFlags.Set(Flags::CC_INTERMEDIATE, true);
        }
        return true;
    }

private:
    std::vector<Node*> m_path;  // [depth - 1]: the node at that depth on the current path
};

const std::string& EmptyText() {
    static const std::string empty;
    return empty;
}

}  // namespace

CDirChange::CDirChange() : m_trie(std::make_shared<Trie>()) {}

CDirChange::~CDirChange() = default;

void CDirChange::SetIncludeFiles(bool includeFiles) { m_includeFiles.store(includeFiles, std::memory_order_relaxed); }

void CDirChange::SetStopWatchProcess(CStopWatch* stopWatch) {
    FXCriticalSection::Scoped lock(m_lock);
    m_stopWatch = stopWatch;
}

bool CDirChange::IsPreviousDirChangeLoaded() const { return m_previousLoaded.load(std::memory_order_acquire); }

CDirChange::Trie::Node* CDirChange::FolderOfLocked(std::string_view path, std::string_view& name) {
    // Cut as the trie cuts: one trailing delimiter is ignored, but after a run of them the last
    // component is empty (left to the search from the root).
    size_t end = path.size();
    if (end > 0 && path[end - 1] == '/') --end;
    if (end == 0 || path[end - 1] == '/') return nullptr;
    const size_t slash = path.rfind('/', end - 1);
    if (slash == std::string_view::npos) return nullptr;
    size_t folderEnd = slash;
    while (folderEnd > 0 && path[folderEnd - 1] == '/') --folderEnd;
    // Items at the first level are found from the root anyway.
    if (folderEnd == 0) return nullptr;
    const std::string_view folder = path.substr(0, folderEnd);
    name = path.substr(slash + 1, end - slash - 1);
    const FolderCacheEntry& last = m_folderCache[m_folderCacheLast];
    if (last.node && last.folder == folder) return last.node.get();
    for (size_t i = 0; i < kFolderCacheSize; ++i) {
        const FolderCacheEntry& entry = m_folderCache[i];
        if (entry.node && entry.folder == folder) {
            m_folderCacheLast = i;
            return entry.node.get();
        }
    }
    // The same components as the item's path without its last: the same node the search from
    // the root passes through.
    Trie::NodePtr node;
    if (m_trie->SearchIgnoreContent(folder, node) != EPathCacheResult::FOUND_EXACT) return nullptr;
    m_folderCacheLast = m_folderCacheNext;
    m_folderCacheNext = (m_folderCacheNext + 1) % kFolderCacheSize;
    FolderCacheEntry& entry = m_folderCache[m_folderCacheLast];
    entry.folder.assign(folder);
    entry.node = std::move(node);
    return entry.node.get();
}

EPathCacheResult CDirChange::SearchLocked(std::string_view path, BDirChangeItemFlags& flags) {
    CScanAutoStopWatch watch(m_stopWatch);
    std::string_view name;
    if (const Trie::Node* folder = FolderOfLocked(path, name)) {
        // What the search from the root answers when it reaches the last component.
        const Trie::NodePtr* child = folder->FindChild(name);
        if (child && (*child)->IsContentPresent()) {
            flags = (*child)->GetData();
            return EPathCacheResult::FOUND_EXACT;
        }
        if (folder->IsContentPresent()) {
            flags = folder->GetData();
            return EPathCacheResult::FOUND_PARENT;
        }
    }
    return m_trie->Search(path, flags);
}

EPathCacheResult CDirChange::search(const std::string& path, BDirChangeItemFlags& flags) {
    FXCriticalSection::Scoped lock(m_lock);
    return SearchLocked(path, flags);
}

EPathCacheResult CDirChange::search(const std::string& path, BDirChangeItemFlags& flags, FVBasePtr& /*info*/) {
    FXCriticalSection::Scoped lock(m_lock);
    return SearchLocked(path, flags);
}

CKoError CDirChange::LoadFile(const std::string& fileName, ContentMapperAPI* mapper) {
    FXCriticalSection::Scoped lock(m_lock);
    // Lines of any length may come, and a trie of any size: no memory is an error, not an exception.
    try {
        return LoadFileLocked(fileName, mapper);
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY,
                                       "Not enough memory to load previous DirChange file, FileName=[%s]", fileName.c_str());
    }
}

CKoError CDirChange::LoadFileLocked(const std::string& fileName, ContentMapperAPI* mapper) {
    FXFileHandle file;
    CKoError error = FXFile::zyfopen(fileName, "rb", file);
    if (error.IsError()) return error.Push(ZY_HERE, "Failed to open previous DirChange file, FileName=[%s]", fileName.c_str());
    const bool includeFiles = IsIncludeFiles();
    ZYLOG(1, "Using previous DirChange, FileName=[%s], IncludeFiles=[%u]", fileName.c_str(), includeFiles ? 1u : 0u);

    const Flags folderFlags(Flags::PREVIOUSDIRCHANGE);
    const Flags fileFlags(Flags::PREVIOUSDIRCHANGE | Flags::PD_FILE);
    CDirChangeFileLineReader reader(file.Get());
    std::string folder, converted, fullPath;
    Trie::NodePtr folderNode;  // the current folder's node: its files are inserted below it
    for (;;) {
        bool got = false;
        error = reader.ReadLine(got);
        if (error.IsError()) return error.Push(ZY_HERE, "File error reading DirChange file, FileName=%s", fileName.c_str());
        if (!got) break;
        const std::string_view text = reader.Text();
        if (reader.IsFile()) {
            if (!includeFiles) continue;
            // No file's name is empty or ends in a delimiter. Inserted, such a line would make its
            // folder (or the root) a file, or add a file with an empty name.
            if (text.empty() || text.back() == '/') {
                ZYLOG(1, "Skipping a DirChange file line that names no file, LineNumber=[%llu]",
                      static_cast<unsigned long long>(reader.GetLineNumber()));
                continue;
            }
            CScanAutoStopWatch watch(m_stopWatch);
            if (folderNode && m_trie->IsSingleComponent(text)) {
                error = m_trie->InsertOrUpdateChild<LeaveDataAlone<Flags>>(folderNode, text, fileFlags);
                if (error.IsSuccess()) continue;
            }
            fullPath = folder;
            FXPath::Append(fullPath, text).IgnoreError();
            error = m_trie->Insert(fullPath, fileFlags);
            if (error.IsError())
                ZYLOG_ERROR("Cannot add file '%s' to container, error=%s", fullPath.c_str(), error.AsString().c_str());
            continue;
        }
        if (MayBeMoniker(text))
            converted = SXScanMisc::ConvertFromUncMoniker(text);
        else
            converted.assign(text);
        if (mapper)
            mapper->MakeProxyPathFromHostPath(converted, folder);
        else
            folder.swap(converted);
        CScanAutoStopWatch watch(m_stopWatch);
        folderNode.reset();
        error = m_trie->Insert(folder, folderFlags);
        if (error.IsError())
            ZYLOG_ERROR("Cannot add folder '%s' to container, error=%s", folder.c_str(), error.AsString().c_str());
        else if (m_trie->SearchIgnoreContent(folder, folderNode) != EPathCacheResult::FOUND_EXACT)
            folderNode.reset();
    }
    if (!std::feof(file.Get()))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE, "Failed to process to EOF as expected");
    m_previousLoaded.store(true, std::memory_order_release);
    return CKoError::Success();
}

CKoError CDirChange::AddItem(const std::string& path, BDirChangeItemFlags flags, const std::string& /*text*/,
                             const FVBasePtr& /*info*/) {
    constexpr uint32_t kFileBits = static_cast<uint32_t>(Flags::CC_FILE) | static_cast<uint32_t>(Flags::CD_FILE) |
                                   static_cast<uint32_t>(Flags::PD_FILE);
    if (!IsIncludeFiles() && flags.IsAnySet(kFileBits)) return CKoError::Success();
    FXCriticalSection::Scoped lock(m_lock);
    CScanAutoStopWatch watch(m_stopWatch);
    std::string_view name;
    if (const Trie::Node* folder = FolderOfLocked(path, name)) {
        // An item that is already there is updated in place, as InsertOrUpdate would.
        if (const Trie::NodePtr* child = folder->FindChild(name)) {
            Node& node = **child;
            if (node.IsContentPresent())
                node.GetData() = CombineFlags::OnExists(node.GetData(), flags);
            else
                node.SetData(flags);
            return CKoError::Success();
        }
    }
    CKoError error = m_trie->InsertOrUpdate<CombineFlags>(path, flags);
    if (error.IsError())
        ZYLOG_ERROR("Cannot insert/update item '%s' to container, error=%s", path.c_str(), error.AsString().c_str());
    return CKoError::Success();
}

CKoError CDirChange::AddCurrentItem(const std::string& path, BDirChangeItemFlags flags, const std::string& text,
                                    const FVBasePtr& info) {
    return AddItem(path, flags, text, info);
}

bool CDirChange::IsItemInPreviousJob(const std::string& path, PREVIOUS_JOB_FLAGS which) {
    Flags flags;
    return IsItemInPreviousJob(path, flags, which);
}

bool CDirChange::IsItemInPreviousJob(const std::string& path, BDirChangeItemFlags& flags, PREVIOUS_JOB_FLAGS which) {
    const bool includeFiles = IsIncludeFiles();
    if (!includeFiles && (which & Flags::PD_FILE)) {
        // Files are not tracked: a file was in the previous job when its folder was.
        std::string_view parent;
        if (!ParentOf(path, parent)) return true;
        thread_local std::string parentPath;  // keeps its capacity from question to question
        parentPath.assign(parent);
        return IsItemInPreviousJob(parentPath, flags, Flags::PREVIOUSDIRCHANGE);
    }
    FXCriticalSection::Scoped lock(m_lock);
    if (SearchLocked(path, flags) != EPathCacheResult::FOUND_EXACT || !flags.IsAnySet(Flags::PREVIOUS_JOB_FLAGS_MASK))
        return false;
    if (!includeFiles) return true;
    return (which & Flags::PD_FILE) && flags.IsSet(Flags::PD_FILE);
}

bool CDirChange::IsItemInCurrentCollect(const std::string& path, CURRENT_COLLECT_FLAGS which) {
    Flags flags;
    return IsItemInCurrentCollect(path, flags, which);
}

bool CDirChange::IsItemInCurrentCollect(const std::string& path, BDirChangeItemFlags& flags,
                                        CURRENT_COLLECT_FLAGS which) {
    const bool includeFiles = IsIncludeFiles();
    if (!includeFiles && (which & Flags::CC_FILE)) return false;
    FXCriticalSection::Scoped lock(m_lock);
    if (SearchLocked(path, flags) != EPathCacheResult::FOUND_EXACT || !flags.IsAnySet(Flags::CURRENT_COLLECT_FLAGS_MASK))
        return false;
    if (!includeFiles) return true;
    return (which & Flags::CC_FILE) && flags.IsSet(Flags::CC_FILE);
}

bool CDirChange::IsItemInCurrentDirChange(const std::string& path, CURRENT_JOB_FLAGS which) {
    Flags flags;
    return IsItemInCurrentDirChange(path, flags, which);
}

bool CDirChange::IsItemInCurrentDirChange(const std::string& path, BDirChangeItemFlags& flags,
                                          CURRENT_JOB_FLAGS which) {
    const bool includeFiles = IsIncludeFiles();
    if (!includeFiles && (which & Flags::CD_FILE)) return false;
    FXCriticalSection::Scoped lock(m_lock);
    if (SearchLocked(path, flags) != EPathCacheResult::FOUND_EXACT || !flags.IsAnySet(Flags::CURRENT_JOB_FLAGS_MASK))
        return false;
    if (!includeFiles) return true;
    return (which & Flags::CD_FILE) && flags.IsSet(Flags::CD_FILE);
}

bool CDirChange::IsItemEligibleForCurrentCollect(const std::string& path, CURRENT_JOB_FLAGS which) {
    Flags flags;
    return IsItemEligibleForCurrentCollect(path, flags, which);
}

bool CDirChange::IsItemEligibleForCurrentCollect(const std::string& path, BDirChangeItemFlags& flags,
                                                 CURRENT_JOB_FLAGS which) {
    const bool includeFiles = IsIncludeFiles();
    if (!includeFiles && (which & Flags::CD_FILE)) return true;
    FXCriticalSection::Scoped lock(m_lock);
    if (SearchLocked(path, flags) != EPathCacheResult::FOUND_EXACT || !flags.IsAnySet(Flags::CURRENT_JOB_FLAGS_MASK))
        return false;
    if (!includeFiles) return true;
    return (which & Flags::CD_FILE) && flags.IsSet(Flags::CD_FILE);
}

bool CDirChange::IsWritten(const std::string& path, ACTIVITY_FLAGS bit) {
    Flags flags;
    return search(path, flags) == EPathCacheResult::FOUND_EXACT && flags.IsSet(bit);
}

CKoError CDirChange::SetWritten(const std::string& path, ACTIVITY_FLAGS bit) {
    CKoError error = AddCurrentItem(path, Flags(bit), EmptyText(), FVBasePtr());
    if (error.IsError()) return error.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CDirChange::IdentifyIntermediateNodes() {
    FXCriticalSection::Scoped lock(m_lock);
    CScanAutoStopWatch watch(m_stopWatch);
    CIntermediateNodesCallback callback;
    m_trie->WalkNode(callback);
    return CKoError::Success();
}

CKoError CDirChange::CarryForward(const std::string& path) {
    FXCriticalSection::Scoped lock(m_lock);
    CScanAutoStopWatch watch(m_stopWatch);
    NodePtr start;
    if (path.find_first_not_of('/') == std::string::npos) {
        // Everything. (A search for "//" could find a child named "" that damaged input made.)
        start = m_trie->GetRoot();
    } else if (m_trie->SearchIgnoreContent(path, start) != EPathCacheResult::FOUND_EXACT) {
        return CKoError::Success();
    }
    const Flags asFolder(Flags::CURRENTDIRCHANGE);
    const Flags asFile(Flags::CURRENTDIRCHANGE | Flags::CD_FILE);
    // The iterator builds each node's path: a subtree of long paths can run out of memory, which
    // must reach the caller as an error (its items would otherwise count as deleted).
    try {
        for (CPathCacheOrderedTNodeIterator<Flags> it(path, start, m_trie->GetDelimiter(), true); !it.IsEnd(); ++it) {
            const NodePtr node = it.GetNode();
            if (!node->IsContentPresent()) continue;
            Flags& flags = node->GetData();
            if (!flags.IsAnySet(Flags::PREVIOUS_JOB_FLAGS_MASK)) continue;
            flags = Flags::Merge(flags, flags.IsSet(Flags::PD_FILE) ? asFile : asFolder);
            // The folders above join the current DirChange as intermediate folders, up to the first
            // one that is already in it; inside the subtree that is the node's parent, just carried.
            for (NodePtr parent = node->GetParent(); parent; parent = parent->GetParent()) {
                if (!parent->IsContentPresent()) parent->SetData(Flags());
                Flags& parentFlags = parent->GetData();
                if (parentFlags.IsAnySet(Flags::CURRENT_JOB_FLAGS_MASK)) break;
                parentFlags.Set(Flags::CD_INTERMEDIATE, true);
            }
        }
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Not enough memory to carry forward, Path=[%s]",
                                       path.c_str());
    } catch (const std::exception& ex) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE, "Cannot carry forward, Path=[%s], error=%s",
                                       path.c_str(), ex.what());
    }
    return CKoError::Success();
}

CKoError CDirChange::WriteCurrentDirChangeLocked(FILE* out) {
    COutputBuffer buffer(out);
    CWriteCurrentDirChangeCallback callback(buffer);
    {
        CScanAutoStopWatch watch(m_stopWatch);
        m_trie->Walk(callback);
    }
    CKoError error = buffer.Finish();
    if (error.IsError()) return error.Push(ZY_HERE, "Failed to write the current DirChange");
    return CKoError::Success();
}

CKoError CDirChange::WriteCurrentDirChange(FILE* out) {
    if (!out)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "No stream to write the DirChange to");
    FXCriticalSection::Scoped lock(m_lock);
    return WriteCurrentDirChangeLocked(out);
}

CKoError CDirChange::WriteCurrentDirChangeFile(const std::string& fileName) {
    FXCriticalSection::Scoped lock(m_lock);
    FXFileHandle file;
    CKoError error = FXFile::zyfopen(fileName, "wb", file);
    if (error.IsError()) return error.Push(ZY_HERE, "Failed to open DirChange file, FileName=%s", fileName.c_str());
    // A DirChange cut short would make its missing items new, or hide their deletion, in the next
    // job: a failed write or close is reported.
    error = WriteCurrentDirChangeLocked(file.Get());
    CKoError closed = file.Close();
    if (error.IsSuccess()) error = closed;
    if (error.IsError()) return error.Push(ZY_HERE, "Failed to write DirChange file, FileName=%s", fileName.c_str());
    return CKoError::Success();
}

CKoError CDirChange::WriteCurrentCollectFile(const std::string& fileName, int64_t& fileCount) {
    FXCriticalSection::Scoped lock(m_lock);
    fileCount = 0;
    FXFileHandle file;
    CKoError error = FXFile::zyfopen(fileName, "wb", file);
    if (error.IsError()) return error.Push(ZY_HERE, "Failed to open Collect file, FileName=%s", fileName.c_str());
    COutputBuffer buffer(file.Get());
    CWriteCurrentCollectCallback callback(buffer);
    {
        CScanAutoStopWatch watch(m_stopWatch);
        m_trie->Walk(callback);
    }
    error = buffer.Finish();
    CKoError closed = file.Close();
    if (error.IsSuccess()) error = closed;
    if (error.IsError()) return error.Push(ZY_HERE, "Failed to write Collect file, FileName=%s", fileName.c_str());
    fileCount = callback.Count();
    return CKoError::Success();
}

CKoError CDirChange::WriteDeletedItems(FILE* file, bool listEveryItem) {
    if (!file)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "No stream to write deleted items to");
    FXCriticalSection::Scoped lock(m_lock);
    COutputBuffer buffer(file);
    CDeletedItemsCallback callback(&buffer, listEveryItem, nullptr, std::string());
    {
        CScanAutoStopWatch watch(m_stopWatch);
        m_trie->Walk(callback);
    }
    CKoError error = buffer.Finish();
    if (error.IsError()) return error.Push(ZY_HERE, "Failed to write deleted items");
    return CKoError::Success();
}

void CDirChange::DumpDeletedItems() {
    if (!ZyLogEnabled(kDumpLevel)) return;
    FXCriticalSection::Scoped lock(m_lock);
    CLogWriterLineWriter writer(kDumpLevel);
    CDeletedItemsCallback callback(nullptr, false, &writer, "DeletedItems");
    m_trie->Walk(callback);
}

void CDirChange::DumpDiagnosticData() {
    if (!ZyLogEnabled(kDumpLevel)) return;
    FXCriticalSection::Scoped lock(m_lock);
    CLogWriterLineWriter writer(kDumpLevel);
    m_trie->DumpDiagnosticData(&writer, "DirChange");
}

int64_t CDirChange::GetMemoryUsed() {
    FXCriticalSection::Scoped lock(m_lock);
    ZYLOG(1, "sizeof(CChildMap)=%lld", static_cast<long long>(sizeof(Trie::ChildMap)));
    return static_cast<int64_t>(m_trie->GetMemoryUsed()) + kObjectBytes;
}
