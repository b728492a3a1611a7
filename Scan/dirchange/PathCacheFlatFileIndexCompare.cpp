// The comparison of flat-file index views: folder by folder in trie order, and inside a folder
// file by file in name order, each folder's item maps read once with the caches shrunk to what one
// folder needs.
#include "PathCacheFlatFileIndexPrivate.h"
#include "core/LogWriter.h"
#include "core/Path.h"
#include "scan/dirchange/PathCacheFlatFileIndexCompareCallback.h"

namespace {

using Flags = BDirChangeItemFlags;
using CacheNodePtr = CPathCacheFlatFileIndex::CacheNodePtr;
using NodeIterator = CPathCacheFlatFileIndex::NodeIterator;

// The callback mask: one bit per operation; an operation that answers "not supported" loses it.
constexpr uint32_t kFolderOnly1 = 0x1, kFolderOnly2 = 0x2, kFolderBoth = 0x4;
constexpr uint32_t kFileOnly1 = 0x10000, kFileOnly2 = 0x20000, kFileBoth = 0x40000;

template <class Operation>
CKoError Call(uint32_t& mask, uint32_t bit, const char* name, Operation&& operation) {
    if ((mask & bit) == 0) return CKoError::Success();
    CKoError e = operation();
    if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_NOT_SUPPORTED)) {
        mask &= ~bit;
        return CKoError::Success();
    }
    if (e.IsError()) return e.Push(ZY_HERE, "%s", name);
    return CKoError::Success();
}

CKoError Aborted(const FXCodeLocation& here) {
    return FXErrorUtil::ErrorWin32(here, ZyWin32::ERROR_OPERATION_ABORTED, "The comparison was aborted");
}

// The iterator names the root ""; the folder is "/".
std::string FolderOf(const NodeIterator& it) { return it.GetName().empty() ? std::string("/") : it.GetName(); }

bool Has(const CacheNodePtr& node, Flags::PREVIOUS_JOB_FLAGS bit) {
    const CPathCacheScanData* record = node && node->IsContentPresent() ? node->GetData().get() : nullptr;
    return record && record->GetFlags().IsSet(bit);
}
bool Has(const CacheNodePtr& node, Flags::CURRENT_JOB_FLAGS bit) {
    const CPathCacheScanData* record = node && node->IsContentPresent() ? node->GetData().get() : nullptr;
    return record && record->GetFlags().IsSet(bit);
}

// Trie order of two paths of equal depth: component by component, "/" before any other byte.
int ComparePaths(const std::string& a, const std::string& b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        if (a[i] == b[i]) continue;
        if (a[i] == '/') return -1;
        if (b[i] == '/') return 1;
        return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]) ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

// The file-level merge of one folder; a missing map counts as empty.
CKoError MergeFiles(const std::string& folder, const FlatFileItemMap* items1, const FlatFileItemMap* items2,
                    CPathCacheFlatFileIndexCompareCallback& callback, uint32_t& mask) {
    if (callback.IsAborted()) return Aborted(ZY_HERE);
    static const FlatFileItemMap kEmpty;
    const FlatFileItemMap& map1 = items1 ? *items1 : kEmpty;
    const FlatFileItemMap& map2 = items2 ? *items2 : kEmpty;
    auto it1 = map1.begin(), it2 = map2.begin();
    std::string path;
    while (it1 != map1.end() || it2 != map2.end()) {
        const int order = it1 == map1.end() ? 1 : it2 == map2.end() ? -1 : FXString::CompareFSCase(it1->first, it2->first);
        const std::string& name = order <= 0 ? it1->first : it2->first;
        path = folder;
        FXPath::Append(path, name).IgnoreError();
        CKoError e;
        if (order < 0) {
            e = Call(mask, kFileOnly1, "OnInIndex1",
                     [&] { return callback.OnInIndex1(path, folder, name, it1->second); });
            ++it1;
        } else if (order > 0) {
            e = Call(mask, kFileOnly2, "OnInIndex2",
                     [&] { return callback.OnInIndex2(path, folder, name, it2->second); });
            ++it2;
        } else {
            e = Call(mask, kFileBoth, "OnInBothIndexes",
                     [&] { return callback.OnInBothIndexes(path, folder, name, it1->second, it2->second); });
            ++it1;
            ++it2;
        }
        if (e.IsError()) return e.Push(ZY_HERE, "Folder=[%s]", folder.c_str());
    }
    return CKoError::Success();
}

// Shrinks an index's DirChange cache for the length of a comparison and puts it back.
class CCacheCapacityScope {
public:
    CCacheCapacityScope(CPathCacheFlatFileIndex& index, size_t capacity)
        : m_index(index), m_saved(index.GetDirchangeCacheCapacity()) {
        ZYLOG(2, "Changing the dirchange cache capacity to %zu", capacity);
        index.ClearCache();
        index.SetDirchangeCacheCapacity(capacity);
    }
    ~CCacheCapacityScope() { m_index.SetDirchangeCacheCapacity(m_saved); }
    size_t Saved() const { return m_saved; }

private:
    CPathCacheFlatFileIndex& m_index;
    size_t m_saved;
};

// Opens the previous backing file of `index` and tells the sizes of both files.
CKoError OpenAndLogSizes(CPathCacheFlatFileIndex& previousIndex, CPathCacheFlatFileIndex& currentIndex) {
    long long previousSize = -1, currentSize = -1;
    {
        CPathCacheFlatFileIndexPrivate& d = *previousIndex.GetPrivate();
        FXCriticalSection::Scoped lock(d.lock);
        CKoError e = d.EnsureOpenLocked(DIRCHANGE_SOURCE_PREVIOUS);
        if (e.IsError()) return e.Push(ZY_HERE, "Open previous backing file failed, error=%s", e.AsString().c_str());
        uint64_t size = 0;
        if (d.previous.readOnly && d.previous.readOnly->Size(size).IsSuccess()) previousSize = static_cast<long long>(size);
    }
    {
        CPathCacheFlatFileIndexPrivate& d = *currentIndex.GetPrivate();
        FXCriticalSection::Scoped lock(d.lock);
        if (d.current.readWrite) currentSize = static_cast<long long>(d.appender.Written());
    }
    ZYLOG(1, "PreviousBackingFileSize=[%lld], CurrentBackingFileSize=[%lld]", previousSize, currentSize);
    return CKoError::Success();
}

// Moves the iterator to the next folder that belongs to the view (at or after where it stands).
template <class Bit>
void SkipToView(NodeIterator& it, Bit bit) {
    while (!it.IsEnd() && !Has(it.GetNode(), bit)) ++it;
}

// Past the current folder and everything below it.
void SkipSubtree(NodeIterator& it) {
    it.SkipOverChildren();
    ++it;
}

}  // namespace

CKoError CPathCacheFlatFileIndex::Compare(CPathCacheFlatFileIndex& index1, CPathCacheFlatFileIndex& index2,
                                          CPathCacheFlatFileIndexCompareCallback& callback, uint32_t flags) {
    CKoError e = OpenAndLogSizes(index1, index2);
    if (e.IsError()) return e.Push(ZY_HERE);
    CCacheCapacityScope scope1(index1, 1);
    CCacheCapacityScope scope2(index2, 1);
    uint32_t mask = 0xFFFFFFFFu;
    bool askRecurse = true;
    NodeIterator it1 = index1.GetIterator(), it2 = index2.GetIterator();
    // The first view is the previous DirChange of index 1: nodes without it (the bare root, trie
    // steps without a record) are not folders of that view, and never pass for deleted ones.
    SkipToView(it1, Flags::PREVIOUSDIRCHANGE);
    SkipToView(it2, Flags::CURRENTDIRCHANGE);
    while (e.IsSuccess() && (!it1.IsEnd() || !it2.IsEnd())) {
        if (callback.IsAborted()) {
            e = Aborted(ZY_HERE);
            break;
        }
        int order;
        if (it1.IsEnd()) {
            order = 1;
        } else if (it2.IsEnd()) {
            order = -1;
        } else if (it1.Depth() != it2.Depth()) {
            // In a pre-order walk the shallower one has already left the deeper one's subtree.
            order = it1.Depth() > it2.Depth() ? -1 : 1;
        } else {
            order = ComparePaths(it1.GetName(), it2.GetName());
        }
        if (order < 0) {
            const std::string folder = FolderOf(it1);
            const CacheNodePtr node = it1.GetNode();
            e = Call(mask, kFolderOnly1, "OnInIndex1", [&] { return callback.OnInIndex1(folder, node); });
            bool recurse = (flags & kCompareRecurseAlways) != 0;
            if (e.IsSuccess() && !recurse && askRecurse) {
                CKoError answer = callback.OnInIndex1RecurseIntoDeletedFolder(folder, node, recurse);
                if (FXErrorUtil::IsWin32(answer, ZyWin32::ERROR_NOT_SUPPORTED)) {
                    askRecurse = false;
                    recurse = false;
                } else if (answer.IsError()) {
                    e = answer.Push(ZY_HERE, "OnOnlyInPreviousIndex");
                }
            }
            if (e.IsError()) break;
            if (!recurse) {
                SkipSubtree(it1);
            } else {
                FlatFileItemMapPtr items;
                e = index1.GetPreviousItems(folder, items);
                if (e.IsError()) e.Push(ZY_HERE, "GetPreviousItems(Index1) failed, Folder=[%s]", folder.c_str());
                if (e.IsSuccess()) e = MergeFiles(folder, items.get(), nullptr, callback, mask);
                ++it1;
            }
            SkipToView(it1, Flags::PREVIOUSDIRCHANGE);
        } else if (order > 0) {
            const std::string folder = FolderOf(it2);
            const CacheNodePtr node = it2.GetNode();
            e = Call(mask, kFolderOnly2, "OnInIndex2", [&] { return callback.OnInIndex2(folder, node); });
            if (e.IsError()) break;
            if ((flags & kCompareRecurseAlways) == 0) {
                SkipSubtree(it2);
            } else {
                FlatFileItemMapPtr items;
                e = index2.GetCurrentItems(folder, items);
                if (e.IsError()) e.Push(ZY_HERE, "GetCurrentItems(Index2) failed, Folder=[%s]", folder.c_str());
                if (e.IsSuccess()) e = MergeFiles(folder, nullptr, items.get(), callback, mask);
                ++it2;
            }
            SkipToView(it2, Flags::CURRENTDIRCHANGE);
        } else {
            const std::string folder = FolderOf(it1);
            const CacheNodePtr node1 = it1.GetNode(), node2 = it2.GetNode();
            e = Call(mask, kFolderBoth, "OnInBothIndexes", [&] { return callback.OnInBothIndexes(folder, node1, node2); });
            FlatFileItemMapPtr items1, items2;
            if (e.IsSuccess()) {
                e = index1.GetPreviousItems(folder, items1);
                if (e.IsError()) e.Push(ZY_HERE, "GetPreviousItems(Index1) failed, Folder=[%s]", folder.c_str());
            }
            if (e.IsSuccess()) {
                e = index2.GetCurrentItems(folder, items2);
                if (e.IsError()) e.Push(ZY_HERE, "GetCurrentItems(Index2) failed, Folder=[%s]", folder.c_str());
            }
            if (e.IsSuccess()) e = MergeFiles(folder, items1.get(), items2.get(), callback, mask);
            ++it1;
            ++it2;
            SkipToView(it1, Flags::PREVIOUSDIRCHANGE);
            SkipToView(it2, Flags::CURRENTDIRCHANGE);
        }
    }
    ZYLOG(2, "Reverting the dirchange cache capacity to [%zu and %zu]", scope1.Saved(), scope2.Saved());
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CPathCacheFlatFileIndex::Compare(CPathCacheFlatFileIndexCompareCallback& callback, uint32_t flags) {
    CKoError e = OpenAndLogSizes(*this, *this);
    if (e.IsError()) {
        ZYLOG_ERROR("Open previous backing file failed, error=%s", e.AsString().c_str());
        return e.Push(ZY_HERE);
    }
    CCacheCapacityScope scope(*this, 2);
    uint32_t mask = 0xFFFFFFFFu;
    bool askRecurse = true;
    const CacheNodePtr none;
    for (NodeIterator it = GetIterator(); e.IsSuccess() && !it.IsEnd();) {
        if (callback.IsAborted()) {
            e = Aborted(ZY_HERE);
            break;
        }
        const CacheNodePtr node = it.GetNode();
        const CPathCacheScanData* record = node->IsContentPresent() ? node->GetData().get() : nullptr;
        if (!record) {
            ++it;
            continue;
        }
        const std::string folder = FolderOf(it);
        const bool inPrevious = record->GetFlags().IsSet(Flags::PREVIOUSDIRCHANGE);
        const bool inCurrent = record->GetFlags().IsSet(Flags::CURRENTDIRCHANGE);
        bool descend = true;
        FlatFileItemMapPtr previous, current;
        if (inPrevious && inCurrent) {
            e = GetItems(folder, previous, current);
            if (e.IsError()) {
                ZYLOG_ERROR("GetItems failed, Folder=[%s], error=%s", folder.c_str(), e.AsString().c_str());
                break;
            }
            ZYLOG(5, "Name=[%s], PreviousCount=[%llu], CurrentCount=[%llu]", folder.c_str(),
                  static_cast<unsigned long long>(previous->size()), static_cast<unsigned long long>(current->size()));
            e = MergeFiles(folder, previous.get(), current.get(), callback, mask);
            if (e.IsError()) e.Push(ZY_HERE, "Compare failed, Name=[%s]", folder.c_str());
            if (e.IsSuccess())
                e = Call(mask, kFolderBoth, "OnInBothIndexes", [&] { return callback.OnInBothIndexes(folder, node, none); });
        } else if (inPrevious) {
            e = Call(mask, kFolderOnly1, "OnInIndex1", [&] { return callback.OnInIndex1(folder, node); });
            descend = (flags & kCompareRecurseAlways) != 0;
            if (e.IsSuccess() && !descend && askRecurse) {
                CKoError answer = callback.OnInIndex1RecurseIntoDeletedFolder(folder, node, descend);
                if (FXErrorUtil::IsWin32(answer, ZyWin32::ERROR_NOT_SUPPORTED)) {
                    askRecurse = false;
                    descend = false;
                } else if (answer.IsError()) {
                    e = answer.Push(ZY_HERE, "OnOnlyInPreviousIndex");
                }
            }
            if (e.IsSuccess() && descend) {
                e = GetPreviousItems(folder, previous);
                if (e.IsSuccess()) e = MergeFiles(folder, previous.get(), nullptr, callback, mask);
                if (e.IsError()) e.Push(ZY_HERE, "Compare failed, Name=[%s]", folder.c_str());
            }
        } else if (inCurrent) {
            e = Call(mask, kFolderOnly2, "OnInIndex2", [&] { return callback.OnInIndex2(folder, node); });
            descend = (flags & kCompareRecurseAlways) != 0;
            if (e.IsSuccess() && descend) {
                e = GetCurrentItems(folder, current);
                if (e.IsSuccess()) e = MergeFiles(folder, nullptr, current.get(), callback, mask);
                if (e.IsError()) e.Push(ZY_HERE, "Compare failed, Name=[%s]", folder.c_str());
            }
        } else {
            e = Call(mask, kFolderBoth, "OnInBothIndexes", [&] { return callback.OnInBothIndexes(folder, node, none); });
        }
        if (descend)
            ++it;
        else
            SkipSubtree(it);
    }
    ZYLOG(2, "Reverting the dirchange cache capacity to [%zu]", scope.Saved());
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}
