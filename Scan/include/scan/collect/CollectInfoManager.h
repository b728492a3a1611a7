// The backup side's registry of a job's collect files. Each collect file has an id, a type, a
// processing context (read before, inside or after the parallel reader pool) and a state; the
// reader threads ask the registry for the next collect file to read, and the pool's choice is
// delegated to the collect thread assigner. A collect file whose start offset equals the
// registry's finished offset is finished, whatever its state: an earlier attempt of the job read
// it, so it is neither handed out nor counted again.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "agent/FileScanMessages.h"
#include "core/KoError.h"
#include "core/Sync.h"
#include "scan/collect/CollectFileInfo.h"
#include "scan/collect/CollectFileThreadAssigner.h"

class CRestartMapFileHandler;

// Shared by the reader threads of a job: every operation holds the registry's lock for its whole
// duration, calls into the thread assigner included.
class CollectInfoManager {
public:
    // `finishedOffset`: the start offset that marks a collect finished. `initialOffset`: the start
    // offset of collects registered from a description.
    CollectInfoManager(int64_t finishedOffset, int64_t initialOffset);
    CollectInfoManager(const CollectInfoManager&) = delete;
    CollectInfoManager& operator=(const CollectInfoManager&) = delete;

    int64_t GetFinishedOffset() const { return m_finishedOffset; }
    int64_t GetInitialOffset() const { return m_initialOffset; }
    // On by default: reader-pool collects are chosen by the thread assigner.
    void SetUseThreadAssigner(bool use);
    bool GetUseThreadAssigner();

    // False for an invalid info. Replaces an entry with the same id.
    bool AddCollect(const CollectFileInfo& info);
    // False for an invalid info or an id that is not registered.
    bool RemoveCollect(const CollectFileInfo& info);

    // Look-ups by id: false, and nothing changed, for an unknown id.
    bool IsCollectIdPresent(int32_t id);
    bool GetCollectFileInfoById(int32_t id, CollectFileInfo& out);
    bool GetCollectFileNameById(int32_t id, std::string& name);
    bool GetCollectFileStartIndexById(int32_t id, int64_t& startOffset);
    bool SetCollectFileStartIndexById(int32_t id, int64_t startOffset);
    bool GetCollectTypeById(int32_t id, _FSB_CTRL_COLLECT_FILE_TYPE& type);
    bool GetCollectStateById(int32_t id, CollectFileInfo::CSTATE& state);
    bool SetCollectStateById(int32_t id, CollectFileInfo::CSTATE state);
    bool IsInThreadPoolCollect(int32_t id);
    bool IsPostThreadPoolCollect(int32_t id);

    // The first collect, in id order, whose name ends with `pattern` (ignoring case).
    bool SearchForCollectByPattern(const std::string& pattern, CollectFileInfo& out);

    // Finished: start offset set to the finished offset, state done; the assigner hears of it.
    bool MarkCollectDone(int32_t id);

    // Counts over valid collects. "Unfinished": start offset is not the finished offset.
    size_t GetPreThreadPoolCollectCount();
    size_t GetInThreadPoolCollectCount();
    size_t GetPostThreadPoolCollectCount();
    size_t GetUnfinishedInThreadPoolCollectCount();
    size_t GetUnfinishedPostThreadPoolCollectCount();
    size_t GetUnassignedCollectCount();
    size_t GetUnassignedInThreadPoolCollectCount(_FSB_CTRL_COLLECT_FILE_TYPE type);
    size_t GetInProcessingCollectCount();

    // Names in id order.
    void GetAllCollectNames(std::vector<std::string>& names);
    void GetAllInThreadPoolCollectNames(std::vector<std::string>& names);
    void GetAllPostThreadPoolCollectNames(std::vector<std::string>& names);

    // The next collect for a reader; it becomes "in progress". In the reader pool (context 2,
    // assigner in use) the assigner chooses, preferring the family of `lastCollectName` when given;
    // otherwise, or when the assigner has nothing left, the first unfinished collect of the
    // context still to be processed, in id order.
    bool GetNextCollectToProcess(CollectFileInfo& out, _COLLECT_FILE_PROCESSING_CONTEXT context,
                                 const std::string& lastCollectName = std::string());
    // The next collect of a type for the reader pool (only context 2). For a type other than the
    // file-extent one (2048) the assigner's file-extent eligible collects come first (the supplying
    // group becomes the parent group name); otherwise, and when the assigner has none left, the
    // first collect of the type in id order.
    bool GetNextCollectOfTypeToProcess(CollectFileInfo& out, _COLLECT_FILE_PROCESSING_CONTEXT context,
                                       _FSB_CTRL_COLLECT_FILE_TYPE type);
    // A sequential walk over one type: the first valid unfinished collect of the type, whatever
    // its state, which becomes "in progress". For one reader that finishes each before asking.
    bool GetNextCollectOfTypeToProcess(CollectFileInfo& out, _FSB_CTRL_COLLECT_FILE_TYPE type);

    // Registers the description's collects (the ones the assigner takes) for the reader pool, in
    // the assigner's order, with ids from 0 and no gaps: a collect that cannot be registered is
    // logged and does not use up an id. `names` gets every collect's path. A description is
    // populated once per manager. False when a collect could not be registered.
    bool PopulateFromCollectInfo(FileScan::CollectInfo& info, const std::string& group,
                                 std::vector<std::string>& names);
    // As above, with each collect's restart id in the collect map as its id.
    bool PopulateFromCollectInfo(FileScan::CollectInfo& info, CRestartMapFileHandler& restartMap,
                                 const std::string& group, std::vector<std::string>& names);
    // Registers only the description's collects the assigner does not hold yet, under their
    // restart ids; `names` gets their paths.
    bool PopulateNewlyAddedColsFromCollectInfo(FileScan::CollectInfo& info, CRestartMapFileHandler& restartMap,
                                               const std::string& group, std::vector<std::string>& names);
    // Adds the collect to an assigner group under its restart id, which becomes `info`'s id, and
    // registers it.
    CKoError AddCollectToGroup(CRestartMapFileHandler& restartMap, const std::string& group, CollectFileInfo& info);

    // Moves every collect of the type to another context; `changed` (optional) gets their ids.
    CKoError ChangeCollectProcessingContextOfAllFilesOfType(_FSB_CTRL_COLLECT_FILE_TYPE type,
                                                            _COLLECT_FILE_PROCESSING_CONTEXT context,
                                                            std::vector<int>* changed);
    // True when no valid collect of the type is unfinished.
    bool IsAllNumColsOfTypeAreProcessed(_FSB_CTRL_COLLECT_FILE_TYPE type);
    // Raises `max` to the highest N of the type's collects named prefix + N + ".zyf"; a name of
    // another form is Win32 13 (invalid data).
    CKoError GetMaxCollectNumIndexUsed(_FSB_CTRL_COLLECT_FILE_TYPE type, const std::string& prefix,
                                       unsigned long& max);

    // Lets finished groups of the assigner start a new round (see the assigner).
    void ReInitPriorityOfGrpsIfAllCollectsAreProcessed();
    void DumpThreadAssigner(CLineWriter& writer);

    static FileScan::CollectFileType GetFileScanCollectFileTypeFromFSBCollectFileType(
        _FSB_CTRL_COLLECT_FILE_TYPE type);
    static _FSB_CTRL_COLLECT_FILE_TYPE GetFSBCollectFileTypeFromFileScanCollectFileType(
        FileScan::CollectFileType type);

private:
    bool IsFinished(const CollectFileInfo& info) const { return info.GetCollectStartOffset() == m_finishedOffset; }
    CollectFileInfo* Find(int32_t id);
    bool AddCollectLocked(const CollectFileInfo& info);
    bool Register(const std::vector<Collect>& collects, bool sequentialIds, std::vector<std::string>& names);
    int32_t RegistryIdOf(int32_t assignerIndex) const;
    // Collect `id` may have become one to hand out: the id-order walks must look at it again.
    void Touch(int32_t id);
    enum class ETake { Taken, Skip };
    ETake TakeFromAssigner(const Collect& collect, CollectFileInfo& out, std::string& lastName);
    template <class Pred>
    size_t Count(Pred pred);
    template <class Pred>
    void Names(Pred pred, std::vector<std::string>& names);

    std::map<int32_t, CollectFileInfo> m_collects;
    std::multimap<_FSB_CTRL_COLLECT_FILE_TYPE, int32_t> m_idsByType;
    CCollectFileThreadAssigner m_assigner;
    bool m_useThreadAssigner = true;
    const int64_t m_finishedOffset;
    const int64_t m_initialOffset;
    // Assigner indexes whose registry id differs (a collect the registry refused shifts the ids of
    // the ones after it); -1 for the refused ones. Empty in the usual case.
    std::unordered_map<int32_t, int32_t> m_assignerIndexToId;
    // Per context: no collect with a lower id is to be handed out by the id-order walk, so a
    // walk over a registry of many finished collects does not start from the first each time.
    int64_t m_scanFrom[4] = {0, 0, 0, 0};
    FXCriticalSection m_lock;
};
