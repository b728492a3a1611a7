#include "scan/collect/CollectInfoManager.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>

#include "core/LogWriter.h"
#include "core/StringUtil.h"
#include "scan/jobstate/RestartMapFileHandler.h"

namespace {

constexpr size_t kContextCount = 4;
constexpr int64_t kPastAllIds = std::numeric_limits<int64_t>::max();

}  // namespace

CollectInfoManager::CollectInfoManager(int64_t finishedOffset, int64_t initialOffset)
    : m_finishedOffset(finishedOffset), m_initialOffset(initialOffset) {}

void CollectInfoManager::SetUseThreadAssigner(bool use) {
    FXCriticalSection::Scoped lock(m_lock);
    m_useThreadAssigner = use;
}

bool CollectInfoManager::GetUseThreadAssigner() {
    FXCriticalSection::Scoped lock(m_lock);
    return m_useThreadAssigner;
}

CollectFileInfo* CollectInfoManager::Find(int32_t id) {
    auto it = m_collects.find(id);
    return it == m_collects.end() ? nullptr : &it->second;
}

void CollectInfoManager::Touch(int32_t id) {
    for (int64_t& from : m_scanFrom) from = std::min<int64_t>(from, id);
}

bool CollectInfoManager::AddCollectLocked(const CollectFileInfo& info) {
    if (!info.IsValidCollect()) return false;
    const int32_t id = info.GetCollectId();
    const bool inserted = m_collects.insert_or_assign(id, info).second;
    if (!inserted) {
        // The replaced entry's type pair goes; the type index holds each id once.
        for (auto pos = m_idsByType.begin(); pos != m_idsByType.end(); ++pos)
            if (pos->second == id) {
                m_idsByType.erase(pos);
                break;
            }
    }
    m_idsByType.emplace(info.GetCollectType(), id);
    Touch(id);
    return true;
}

bool CollectInfoManager::AddCollect(const CollectFileInfo& info) {
    FXCriticalSection::Scoped lock(m_lock);
    return AddCollectLocked(info);
}

bool CollectInfoManager::RemoveCollect(const CollectFileInfo& info) {
    FXCriticalSection::Scoped lock(m_lock);
    if (!info.IsValidCollect()) return false;
    auto it = m_collects.find(info.GetCollectId());
    if (it == m_collects.end()) return false;
    m_collects.erase(it);
    for (auto pos = m_idsByType.begin(); pos != m_idsByType.end(); ++pos)
        if (pos->second == info.GetCollectId()) {
            m_idsByType.erase(pos);
            break;
        }
    return true;
}

bool CollectInfoManager::IsCollectIdPresent(int32_t id) {
    FXCriticalSection::Scoped lock(m_lock);
    return Find(id) != nullptr;
}

bool CollectInfoManager::GetCollectFileInfoById(int32_t id, CollectFileInfo& out) {
    FXCriticalSection::Scoped lock(m_lock);
    const CollectFileInfo* info = Find(id);
    if (!info) return false;
    out = *info;
    return true;
}

bool CollectInfoManager::GetCollectFileNameById(int32_t id, std::string& name) {
    FXCriticalSection::Scoped lock(m_lock);
    const CollectFileInfo* info = Find(id);
    if (!info) return false;
    name = info->GetCollectName();
    return true;
}

bool CollectInfoManager::GetCollectFileStartIndexById(int32_t id, int64_t& startOffset) {
    FXCriticalSection::Scoped lock(m_lock);
    const CollectFileInfo* info = Find(id);
    if (!info) return false;
    startOffset = info->GetCollectStartOffset();
    return true;
}

bool CollectInfoManager::SetCollectFileStartIndexById(int32_t id, int64_t startOffset) {
    FXCriticalSection::Scoped lock(m_lock);
    CollectFileInfo* info = Find(id);
    if (!info) return false;
    info->SetCollectStartOffset(startOffset);
    Touch(id);
    return true;
}

bool CollectInfoManager::GetCollectTypeById(int32_t id, _FSB_CTRL_COLLECT_FILE_TYPE& type) {
    FXCriticalSection::Scoped lock(m_lock);
    const CollectFileInfo* info = Find(id);
    if (!info) return false;
    type = info->GetCollectType();
    return true;
}

bool CollectInfoManager::GetCollectStateById(int32_t id, CollectFileInfo::CSTATE& state) {
    FXCriticalSection::Scoped lock(m_lock);
    const CollectFileInfo* info = Find(id);
    if (!info) return false;
    state = info->GetCollectState();
    return true;
}

bool CollectInfoManager::SetCollectStateById(int32_t id, CollectFileInfo::CSTATE state) {
    FXCriticalSection::Scoped lock(m_lock);
    CollectFileInfo* info = Find(id);
    if (!info) return false;
    info->SetCollectState(state);
    Touch(id);
    return true;
}

bool CollectInfoManager::IsInThreadPoolCollect(int32_t id) {
    FXCriticalSection::Scoped lock(m_lock);
    const CollectFileInfo* info = Find(id);
    return info && info->GetProcessingContext() == COLLECT_FILE_PROCESSING_CONTEXT_IN_THREAD_POOL;
}

bool CollectInfoManager::IsPostThreadPoolCollect(int32_t id) {
    FXCriticalSection::Scoped lock(m_lock);
    const CollectFileInfo* info = Find(id);
    return info && info->GetProcessingContext() == COLLECT_FILE_PROCESSING_CONTEXT_POST_THREAD_POOL;
}

bool CollectInfoManager::SearchForCollectByPattern(const std::string& pattern, CollectFileInfo& out) {
    FXCriticalSection::Scoped lock(m_lock);
    for (const auto& [id, info] : m_collects) {
        if (FXString::MatchRightNoCase(info.GetCollectName(), pattern)) {
            out = info;
            return true;
        }
    }
    return false;
}

bool CollectInfoManager::MarkCollectDone(int32_t id) {
    FXCriticalSection::Scoped lock(m_lock);
    CollectFileInfo* info = Find(id);
    if (!info) return false;
    info->SetCollectStartOffset(m_finishedOffset);
    info->SetCollectState(CollectFileInfo::CSTATE_DONE);
    if (m_useThreadAssigner) m_assigner.MarkCollectAsProcessed(info->GetCollectName());
    return true;
}

// Counts and names ------------------------------------------------------------------------------

template <class Pred>
size_t CollectInfoManager::Count(Pred pred) {
    FXCriticalSection::Scoped lock(m_lock);
    size_t count = 0;
    for (const auto& [id, info] : m_collects)
        if (info.IsValidCollect() && pred(info)) ++count;
    return count;
}

template <class Pred>
void CollectInfoManager::Names(Pred pred, std::vector<std::string>& names) {
    FXCriticalSection::Scoped lock(m_lock);
    for (const auto& [id, info] : m_collects)
        if (pred(info)) names.push_back(info.GetCollectName());
}

namespace {
auto InContext(_COLLECT_FILE_PROCESSING_CONTEXT context) {
    return [context](const CollectFileInfo& info) { return info.GetProcessingContext() == context; };
}
}  // namespace

size_t CollectInfoManager::GetPreThreadPoolCollectCount() {
    return Count(InContext(COLLECT_FILE_PROCESSING_CONTEXT_PRE_THREAD_POOL));
}

size_t CollectInfoManager::GetInThreadPoolCollectCount() {
    return Count(InContext(COLLECT_FILE_PROCESSING_CONTEXT_IN_THREAD_POOL));
}

size_t CollectInfoManager::GetPostThreadPoolCollectCount() {
    return Count(InContext(COLLECT_FILE_PROCESSING_CONTEXT_POST_THREAD_POOL));
}

size_t CollectInfoManager::GetUnfinishedInThreadPoolCollectCount() {
    return Count([this](const CollectFileInfo& info) {
        return info.GetProcessingContext() == COLLECT_FILE_PROCESSING_CONTEXT_IN_THREAD_POOL && !IsFinished(info);
    });
}

size_t CollectInfoManager::GetUnfinishedPostThreadPoolCollectCount() {
    return Count([this](const CollectFileInfo& info) {
        return info.GetProcessingContext() == COLLECT_FILE_PROCESSING_CONTEXT_POST_THREAD_POOL && !IsFinished(info);
    });
}

size_t CollectInfoManager::GetUnassignedCollectCount() {
    return Count([this](const CollectFileInfo& info) { return !IsFinished(info) && info.IsCollectToBeProcessed(); });
}

size_t CollectInfoManager::GetUnassignedInThreadPoolCollectCount(_FSB_CTRL_COLLECT_FILE_TYPE type) {
    return Count([this, type](const CollectFileInfo& info) {
        return info.GetProcessingContext() == COLLECT_FILE_PROCESSING_CONTEXT_IN_THREAD_POOL && !IsFinished(info) &&
               info.IsCollectToBeProcessed() && info.GetCollectType() == type;
    });
}

size_t CollectInfoManager::GetInProcessingCollectCount() {
    return Count([this](const CollectFileInfo& info) {
        return info.GetProcessingContext() == COLLECT_FILE_PROCESSING_CONTEXT_IN_THREAD_POOL && !IsFinished(info) &&
               info.GetCollectState() == CollectFileInfo::CSTATE_IN_PROGRESS;
    });
}

void CollectInfoManager::GetAllCollectNames(std::vector<std::string>& names) {
    Names([](const CollectFileInfo&) { return true; }, names);
}

void CollectInfoManager::GetAllInThreadPoolCollectNames(std::vector<std::string>& names) {
    Names(InContext(COLLECT_FILE_PROCESSING_CONTEXT_IN_THREAD_POOL), names);
}

void CollectInfoManager::GetAllPostThreadPoolCollectNames(std::vector<std::string>& names) {
    Names(InContext(COLLECT_FILE_PROCESSING_CONTEXT_POST_THREAD_POOL), names);
}

// Handing collects out -----------------------------------------------------------------------------

int32_t CollectInfoManager::RegistryIdOf(int32_t assignerIndex) const {
    auto it = m_assignerIndexToId.find(assignerIndex);
    return it == m_assignerIndexToId.end() ? assignerIndex : it->second;
}

CollectInfoManager::ETake CollectInfoManager::TakeFromAssigner(const Collect& collect, CollectFileInfo& out,
                                                               std::string& lastName) {
    const int32_t id = RegistryIdOf(collect.GetCollectFileIndex());
    CollectFileInfo* info = id < 0 ? nullptr : Find(id);
    if (!info) {
        ZYLOG(1, "Collect [%s] from the thread assigner is not registered, Index=[%d]", collect.GetPath().c_str(),
              collect.GetCollectFileIndex());
        return ETake::Skip;
    }
    if (IsFinished(*info)) {
        ZYLOG(2, "Collect [%s] was finished earlier, Id=[%d]", info->GetCollectName().c_str(), id);
        lastName = collect.GetPath();
        m_assigner.MarkCollectAsProcessed(collect.GetPath());
        return ETake::Skip;
    }
    // Handed out already by the id-order walk, or moved out of the reader pool: a reader has it
    // or another phase reads it; never two readers.
    if (!info->IsValidCollect() || !info->IsCollectToBeProcessed() ||
        info->GetProcessingContext() != COLLECT_FILE_PROCESSING_CONTEXT_IN_THREAD_POOL) {
        ZYLOG(2, "Collect [%s] is not to be handed out by the thread assigner, %s", info->GetCollectName().c_str(),
              info->PrintCollectMetadata().c_str());
        return ETake::Skip;
    }
    info->SetCollectState(CollectFileInfo::CSTATE_IN_PROGRESS);
    out = *info;
    return ETake::Taken;
}

bool CollectInfoManager::GetNextCollectToProcess(CollectFileInfo& out, _COLLECT_FILE_PROCESSING_CONTEXT context,
                                                 const std::string& lastCollectName) {
    FXCriticalSection::Scoped lock(m_lock);
    if (context == COLLECT_FILE_PROCESSING_CONTEXT_IN_THREAD_POOL && m_useThreadAssigner) {
        std::string lastName = lastCollectName;
        Collect collect;
        while (lastName.empty() ? m_assigner.GetACollect(collect) : m_assigner.GetACollect(lastName, collect))
            if (TakeFromAssigner(collect, out, lastName) == ETake::Taken) return true;
    }

    const bool cursor = context < kContextCount;
    auto it = m_collects.begin();
    if (cursor)
        it = m_scanFrom[context] > std::numeric_limits<int32_t>::max()
                 ? m_collects.end()
                 : m_collects.lower_bound(static_cast<int32_t>(m_scanFrom[context]));
    for (; it != m_collects.end(); ++it) {
        CollectFileInfo& info = it->second;
        if (info.IsValidCollect() && info.GetProcessingContext() == context && !IsFinished(info) &&
            info.IsCollectToBeProcessed()) {
            info.SetCollectState(CollectFileInfo::CSTATE_IN_PROGRESS);
            out = info;
            if (cursor) m_scanFrom[context] = static_cast<int64_t>(it->first) + 1;
            return true;
        }
    }
    if (cursor) m_scanFrom[context] = kPastAllIds;
    return false;
}

bool CollectInfoManager::GetNextCollectOfTypeToProcess(CollectFileInfo& out, _COLLECT_FILE_PROCESSING_CONTEXT context,
                                                       _FSB_CTRL_COLLECT_FILE_TYPE type) {
    FXCriticalSection::Scoped lock(m_lock);
    if (context != COLLECT_FILE_PROCESSING_CONTEXT_IN_THREAD_POOL) return false;
    if (m_useThreadAssigner && type != FSB_CTRL_COLLECT_FILE_TYPE_FILE_EXTENT) {
        Collect collect;
        std::string groupName;
        std::string lastName;
        while (m_assigner.GetAFileExtentEligibleCollect(collect, groupName)) {
            if (TakeFromAssigner(collect, out, lastName) == ETake::Taken) {
                CollectFileInfo& info = m_collects.at(out.GetCollectId());
                info.SetParentGrpName(groupName);
                out.SetParentGrpName(groupName);
                return true;
            }
        }
    }
    auto range = m_idsByType.equal_range(type);
    for (auto it = range.first; it != range.second; ++it) {
        CollectFileInfo* info = Find(it->second);
        if (info && info->IsValidCollect() && info->GetProcessingContext() == context && !IsFinished(*info) &&
            info->IsCollectToBeProcessed()) {
            info->SetCollectState(CollectFileInfo::CSTATE_IN_PROGRESS);
            out = *info;
            return true;
        }
    }
    return false;
}

bool CollectInfoManager::GetNextCollectOfTypeToProcess(CollectFileInfo& out, _FSB_CTRL_COLLECT_FILE_TYPE type) {
    FXCriticalSection::Scoped lock(m_lock);
    auto range = m_idsByType.equal_range(type);
    for (auto it = range.first; it != range.second; ++it) {
        CollectFileInfo* info = Find(it->second);
        if (info && info->IsValidCollect() && !IsFinished(*info)) {
            info->SetCollectState(CollectFileInfo::CSTATE_IN_PROGRESS);
            out = *info;
            return true;
        }
    }
    return false;
}

// Populating ---------------------------------------------------------------------------------------

bool CollectInfoManager::Register(const std::vector<Collect>& collects, bool sequentialIds,
                                  std::vector<std::string>& names) {
    bool all = true;
    int32_t next = 0;
    for (const Collect& collect : collects) {
        names.push_back(collect.GetPath());
        const int32_t id = sequentialIds ? next : collect.GetCollectFileIndex();
        CollectFileInfo info;
        bool added = info.Initialize(id, collect.GetPath(),
                                     GetFSBCollectFileTypeFromFileScanCollectFileType(collect.GetCollectFileType()),
                                     m_initialOffset, COLLECT_FILE_PROCESSING_CONTEXT_IN_THREAD_POOL,
                                     CollectFileInfo::CSTATE_TO_BE_PROCESSED) &&
                     AddCollectLocked(info);
        if (added) {
            ZYLOG(2, "Adding collect file with Id: [%d], File Name: [%s]", id, collect.GetPath().c_str());
            if (sequentialIds) {
                if (id != collect.GetCollectFileIndex()) m_assignerIndexToId[collect.GetCollectFileIndex()] = id;
                ++next;
            }
        } else {
            ZYLOG_ERROR("Failed to add Collect File Name: [%s],  with Id: [%d]", collect.GetPath().c_str(), id);
            if (sequentialIds) m_assignerIndexToId[collect.GetCollectFileIndex()] = -1;
            all = false;
        }
    }
    return all;
}

bool CollectInfoManager::PopulateFromCollectInfo(FileScan::CollectInfo& info, const std::string& group,
                                                 std::vector<std::string>& names) {
    FXCriticalSection::Scoped lock(m_lock);
    m_assignerIndexToId.clear();
    std::vector<Collect> collects;
    bool all = m_assigner.PopulateFrom(info, group, collects);
    return Register(collects, true, names) && all;
}

bool CollectInfoManager::PopulateFromCollectInfo(FileScan::CollectInfo& info, CRestartMapFileHandler& restartMap,
                                                 const std::string& group, std::vector<std::string>& names) {
    FXCriticalSection::Scoped lock(m_lock);
    m_assignerIndexToId.clear();
    std::vector<Collect> collects;
    bool all = m_assigner.PopulateFrom(info, restartMap, group, collects);
    return Register(collects, false, names) && all;
}

bool CollectInfoManager::PopulateNewlyAddedColsFromCollectInfo(FileScan::CollectInfo& info,
                                                               CRestartMapFileHandler& restartMap,
                                                               const std::string& group,
                                                               std::vector<std::string>& names) {
    FXCriticalSection::Scoped lock(m_lock);
    std::vector<Collect> collects;
    bool all = m_assigner.PopulateNewlyAddedFrom(info, restartMap, group, collects);
    return Register(collects, false, names) && all;
}

CKoError CollectInfoManager::AddCollectToGroup(CRestartMapFileHandler& restartMap, const std::string& group,
                                               CollectFileInfo& info) {
    FXCriticalSection::Scoped lock(m_lock);
    Collect collect(info.GetCollectName(), -1, Collect::STATE_NOT_PROCESSED,
                    GetFileScanCollectFileTypeFromFSBCollectFileType(info.GetCollectType()));
    CKoError e = m_assigner.AddCollect(restartMap, group, collect);
    if (e.IsError())
        return e.Push(ZY_HERE, "Failed to add collect [%s] to group [%s]", info.GetCollectName().c_str(),
                      group.c_str());
    const int32_t id = collect.GetCollectFileIndex();
    // Registered already (added to the group before): keep its state, a reader may hold it.
    if (const CollectFileInfo* existing = Find(id);
        existing && FXString::EqualsNoCase(existing->GetCollectName(), info.GetCollectName())) {
        info = *existing;
        return CKoError::Success();
    }
    CollectFileInfo registered;
    if (!registered.Initialize(id, info.GetCollectName(), info.GetCollectType(), info.GetCollectStartOffset(),
                               info.GetProcessingContext(), info.GetCollectState()))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER,
                                       "Failed to add Collect File Name: [%s],  with Id: [%d]",
                                       info.GetCollectName().c_str(), id);
    registered.SetParentGrpName(group);
    registered.SetPassNum(info.GetPassNum());
    AddCollectLocked(registered);
    info = registered;
    return CKoError::Success();
}

// Per type -------------------------------------------------------------------------------------------

CKoError CollectInfoManager::ChangeCollectProcessingContextOfAllFilesOfType(_FSB_CTRL_COLLECT_FILE_TYPE type,
                                                                            _COLLECT_FILE_PROCESSING_CONTEXT context,
                                                                            std::vector<int>* changed) {
    FXCriticalSection::Scoped lock(m_lock);
    auto range = m_idsByType.equal_range(type);
    for (auto it = range.first; it != range.second; ++it) {
        CollectFileInfo* info = Find(it->second);
        if (!info) {
            ZYLOG(1, "Collect file of type [%d] with ID [%d] not found in the map of collect file IDs",
                  static_cast<int>(type), it->second);
            continue;
        }
        ZYLOG(2, "Changing the processing context of collect file {%s} to [%d]", info->GetCollectName().c_str(),
              static_cast<int>(context));
        info->SetProcessingContext(context);
        Touch(it->second);
        if (changed) changed->push_back(it->second);
    }
    return CKoError::Success();
}

bool CollectInfoManager::IsAllNumColsOfTypeAreProcessed(_FSB_CTRL_COLLECT_FILE_TYPE type) {
    FXCriticalSection::Scoped lock(m_lock);
    for (const auto& [id, info] : m_collects)
        if (info.IsValidCollect() && info.GetCollectType() == type && !IsFinished(info)) return false;
    return true;
}

CKoError CollectInfoManager::GetMaxCollectNumIndexUsed(_FSB_CTRL_COLLECT_FILE_TYPE type, const std::string& prefix,
                                                       unsigned long& max) {
    FXCriticalSection::Scoped lock(m_lock);
    auto range = m_idsByType.equal_range(type);
    for (auto it = range.first; it != range.second; ++it) {
        const CollectFileInfo* info = Find(it->second);
        if (!info) continue;
        std::string number = info->GetCollectName();
        if (!FXString::RemoveLeft(number, prefix))
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                           "Collect file name [%s] does not start with [%s]",
                                           info->GetCollectName().c_str(), prefix.c_str());
        if (!FXString::RemoveRight(number, ".zyf"))
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                           "Collect file name [%s] does not end with [.zyf]",
                                           info->GetCollectName().c_str());
        errno = 0;
        const unsigned long value = std::strtoul(number.c_str(), nullptr, 10);
        if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos || errno == ERANGE)
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                           "Collect file name [%s] has no number after [%s]",
                                           info->GetCollectName().c_str(), prefix.c_str());
        max = std::max(max, value);
    }
    return CKoError::Success();
}

void CollectInfoManager::ReInitPriorityOfGrpsIfAllCollectsAreProcessed() {
    FXCriticalSection::Scoped lock(m_lock);
    m_assigner.ReInitPriorityOfGrpsIfAllCollectsAreProcessed();
}

void CollectInfoManager::DumpThreadAssigner(CLineWriter& writer) {
    FXCriticalSection::Scoped lock(m_lock);
    m_assigner.Dump(writer);
}

FileScan::CollectFileType CollectInfoManager::GetFileScanCollectFileTypeFromFSBCollectFileType(
    _FSB_CTRL_COLLECT_FILE_TYPE type) {
    switch (type) {
        case FSB_CTRL_COLLECT_FILE_TYPE_FILE_EXTENT:
            return FileScan::COLLECT_FILE_TYPE_FILE_EXTENT;
        case FSB_CTRL_COLLECT_FILE_TYPE_SECONDARY:
            return FileScan::COLLECT_FILE_TYPE_SECONDARY;
        default:
            return FileScan::COLLECT_FILE_TYPE_REGULAR;
    }
}

_FSB_CTRL_COLLECT_FILE_TYPE CollectInfoManager::GetFSBCollectFileTypeFromFileScanCollectFileType(
    FileScan::CollectFileType type) {
    switch (type) {
        case FileScan::COLLECT_FILE_TYPE_FILE_EXTENT:
            return FSB_CTRL_COLLECT_FILE_TYPE_FILE_EXTENT;
        case FileScan::COLLECT_FILE_TYPE_SECONDARY:
            return FSB_CTRL_COLLECT_FILE_TYPE_SECONDARY;
        default:
            return FSB_CTRL_COLLECT_FILE_TYPE_REGULAR;
    }
}
