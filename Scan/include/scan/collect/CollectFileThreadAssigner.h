// Hands a job's collect files to the backup's reader threads so that the load spreads over the
// physical disks. Collect files sit in a tree of groups (a disk with its volumes, or a component);
// the top-level groups take turns by priority, and a reader that finished a collect file gets the
// next one from the same family when there is one. File-extent eligible collect files
// (description type 1) are handed out only by GetAFileExtentEligibleCollect.
//
// The assigner takes no locks: its owner, the collect info manager, serialises every call.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "agent/FileScanMessages.h"
#include "core/KoError.h"

class CLineWriter;
class CRestartMapFileHandler;

// One collect file as the assigner sees it.
class Collect {
public:
    enum ECOLLECTSTATE : uint32_t {
        STATE_NOT_PROCESSED = 1,
        STATE_BEING_PROCESSED = 2,
        STATE_PROCESSED = 3,
    };

    Collect() = default;
    Collect(std::string path, int32_t collectFileIndex, ECOLLECTSTATE state, FileScan::CollectFileType type);

    const std::string& GetPath() const { return m_path; }
    void SetPath(std::string path) { m_path = std::move(path); }
    // The id under which the collect info manager registers the collect.
    int32_t GetCollectFileIndex() const { return m_collectFileIndex; }
    void SetCollectFileIndex(int32_t index) { m_collectFileIndex = index; }
    ECOLLECTSTATE GetState() const { return m_state; }
    void SetState(ECOLLECTSTATE state) { m_state = state; }
    bool IsYetToBeProcessed() const { return m_state == STATE_NOT_PROCESSED; }
    bool IsBeingProcessed() const { return m_state == STATE_BEING_PROCESSED; }
    bool IsProcessed() const { return m_state == STATE_PROCESSED; }
    // "Not processed", "Being processed", "Processed".
    const char* GetStateAsString() const;
    FileScan::CollectFileType GetCollectFileType() const { return m_type; }
    bool IsFileExtentEligible() const { return m_type == FileScan::COLLECT_FILE_TYPE_FILE_EXTENT; }
    // The group that holds the collect.
    const std::string& GetGroupName() const { return m_groupName; }
    void SetGroupName(std::string name) { m_groupName = std::move(name); }
    uint32_t GetPassNum() const { return m_passNum; }
    void SetPassNum(uint32_t passNum) { m_passNum = passNum; }

private:
    std::string m_path;
    int32_t m_collectFileIndex = -1;
    ECOLLECTSTATE m_state = STATE_NOT_PROCESSED;
    FileScan::CollectFileType m_type = FileScan::COLLECT_FILE_TYPE_REGULAR;
    std::string m_groupName;
    uint32_t m_passNum = 0;
};

// A node of the group tree. Groups compare by priority only; the higher priority is served first.
class Group : public std::enable_shared_from_this<Group> {
public:
    static constexpr int32_t kInitialPriority = 100;

    Group(std::string name, int32_t basePriority, bool preferred);

    const std::string& GetName() const { return m_name; }
    int32_t GetPriority() const { return m_priority; }
    void SetPriority(int32_t priority) { m_priority = priority; }
    int32_t GetBasePriority() const { return m_basePriority; }
    bool IsPreferred() const { return m_preferred; }
    // Empty for a top-level group. (The tree owns its children; a child only refers back.)
    std::shared_ptr<Group> GetParent() const { return m_parent.lock(); }
    const std::vector<std::shared_ptr<Group>>& GetSubGroups() const { return m_subGroups; }
    const std::vector<Collect>& GetCollects() const { return m_collects; }

    void AddSubGroup(const std::shared_ptr<Group>& subGroup);
    // Appends the collect (its group name becomes this group's); answers its position.
    size_t AddCollect(Collect collect);

    // The first collect of this group, then of each subgroup depth first, that is not processed
    // yet and is (or, without `fileExtent`, is not) file-extent eligible. It becomes "being
    // processed" and is copied out.
    bool TakeACollect(bool fileExtent, Collect& out);
    // Sets the collect at `position` of this group's own collects to processed.
    void MarkProcessedAt(size_t position);
    bool AreAllCollectsProcessed() const;
    // This group or a descendant with that name (depth first); null when there is none.
    std::shared_ptr<Group> FindGroup(const std::string& name);

    // The first use drops the priority from 100 to base - 1, each later use by one: every group
    // gets a turn before any gets a second, then preferred groups stay a step ahead.
    void ReducePriority();

    void Dump(CLineWriter& writer, int depth = 0) const;

    bool operator<(const Group& other) const { return m_priority < other.m_priority; }

private:
    std::string m_name;
    std::vector<Collect> m_collects;
    std::weak_ptr<Group> m_parent;
    std::vector<std::shared_ptr<Group>> m_subGroups;
    int32_t m_priority = kInitialPriority;
    int32_t m_basePriority;
    bool m_preferred;
    // Own collects before these positions hold nothing to hand out (regular, file-extent): a
    // collect never goes back to "not processed", so the search need not look there again.
    size_t m_firstCandidate[2] = {0, 0};
};

class CCollectFileThreadAssignerPrivate;

class CCollectFileThreadAssigner {
public:
    CCollectFileThreadAssigner();

    // Replaces the tree with the description's groups; `out` gets every collect taken, in order.
    // A disk becomes a group (base priority 2 and preferred when its flag is set, else 1) with a
    // subgroup per volume; a component becomes a group only when its thread-pool flag is set.
    // Groups of the same name are one group. `group` names the caller's pool in the log.
    // Collect file indexes run from 0 in the order taken.
    bool PopulateFrom(FileScan::CollectInfo& info, const std::string& group, std::vector<Collect>& out);
    // As above, but each collect's index is its restart id in the collect map (added there when
    // missing). A collect that cannot be added to the map is logged and left out; the answer is
    // then false.
    bool PopulateFrom(FileScan::CollectInfo& info, CRestartMapFileHandler& restartMap, const std::string& group,
                      std::vector<Collect>& out);
    // Replaces the tree with one top-level group (base priority 1) per map entry, in name order,
    // holding the given collects with their indexes as they are; their state becomes "not
    // processed".
    bool PopulateFrom(const std::map<std::string, std::vector<Collect>>& groups, std::vector<Collect>& out);
    // Adds the collects of the description that the tree does not hold yet (paths compared
    // without regard to case), creating missing groups; indexes are restart ids as above. `out`
    // gets only the new collects.
    bool PopulateNewlyAddedFrom(FileScan::CollectInfo& info, CRestartMapFileHandler& restartMap,
                                const std::string& group, std::vector<Collect>& out);

    // Appends the collect to the named group (Win32 1168 when there is none) under its restart
    // id, which is written into `collect`. A collect the tree already holds is not added twice;
    // `collect` then gets its existing index.
    CKoError AddCollect(CRestartMapFileHandler& restartMap, const std::string& groupName, Collect& collect);

    // A collect from the group with the highest priority, whose priority then drops.
    bool GetACollect(Collect& out);
    // Marks `lastCollectPath` processed and prefers a collect of its family: its group, that
    // group's parent with the parent's other subgroups, and so on up; priorities do not change.
    // Without one, as GetACollect(out).
    bool GetACollect(const std::string& lastCollectPath, Collect& out);
    // As GetACollect(out), for file-extent eligible collects; `groupName` is the top-level group
    // that supplied it.
    bool GetAFileExtentEligibleCollect(Collect& out, std::string& groupName);

    // False when no group holds the path (compared without regard to case).
    bool MarkCollectAsProcessed(const std::string& path);
    // Groups whose collects are all processed go back to priority 2 (preferred) or 1.
    void ReInitPriorityOfGrpsIfAllCollectsAreProcessed();

    // Every group with its collects and their states, to the log (level 2) or to `writer`.
    void Dump();
    void Dump(CLineWriter& writer);

private:
    std::shared_ptr<CCollectFileThreadAssignerPrivate> m_private;
};
