#include "scan/collect/CollectFileThreadAssigner.h"

#include <limits>
#include <queue>
#include <unordered_map>

#include "core/LogWriter.h"
#include "core/StringUtil.h"
#include "scan/jobstate/RestartMapFileHandler.h"

// Collect ------------------------------------------------------------------------------------

Collect::Collect(std::string path, int32_t collectFileIndex, ECOLLECTSTATE state, FileScan::CollectFileType type)
    : m_path(std::move(path)), m_collectFileIndex(collectFileIndex), m_state(state), m_type(type) {}

const char* Collect::GetStateAsString() const {
    switch (m_state) {
        case STATE_NOT_PROCESSED:
            return "Not processed";
        case STATE_BEING_PROCESSED:
            return "Being processed";
        case STATE_PROCESSED:
            return "Processed";
    }
    return "Unknown";
}

// Group --------------------------------------------------------------------------------------

Group::Group(std::string name, int32_t basePriority, bool preferred)
    : m_name(std::move(name)), m_basePriority(basePriority), m_preferred(preferred) {}

void Group::AddSubGroup(const std::shared_ptr<Group>& subGroup) {
    subGroup->m_parent = weak_from_this();
    m_subGroups.push_back(subGroup);
}

size_t Group::AddCollect(Collect collect) {
    collect.SetGroupName(m_name);
    m_collects.push_back(std::move(collect));
    return m_collects.size() - 1;
}

bool Group::TakeACollect(bool fileExtent, Collect& out) {
    size_t& first = m_firstCandidate[fileExtent ? 1 : 0];
    for (; first < m_collects.size(); ++first) {
        Collect& collect = m_collects[first];
        if (collect.IsYetToBeProcessed() && collect.IsFileExtentEligible() == fileExtent) {
            collect.SetState(Collect::STATE_BEING_PROCESSED);
            out = collect;
            ++first;
            return true;
        }
    }
    for (const auto& subGroup : m_subGroups)
        if (subGroup->TakeACollect(fileExtent, out)) return true;
    return false;
}

void Group::MarkProcessedAt(size_t position) { m_collects[position].SetState(Collect::STATE_PROCESSED); }

bool Group::AreAllCollectsProcessed() const {
    for (const Collect& collect : m_collects)
        if (!collect.IsProcessed()) return false;
    for (const auto& subGroup : m_subGroups)
        if (!subGroup->AreAllCollectsProcessed()) return false;
    return true;
}

std::shared_ptr<Group> Group::FindGroup(const std::string& name) {
    if (m_name == name) return shared_from_this();
    for (const auto& subGroup : m_subGroups)
        if (auto found = subGroup->FindGroup(name)) return found;
    return nullptr;
}

void Group::ReducePriority() {
    if (m_priority == kInitialPriority)
        m_priority = m_basePriority - 1;
    else
        --m_priority;
}

void Group::Dump(CLineWriter& writer, int depth) const {
    const int indent = depth * 4;
    writer
        .WriteLine("%*sGroup [%s], Priority [%d], BasePriority [%d], Preferred [%d], Collects [%zu]", indent, "",
                   m_name.c_str(), m_priority, m_basePriority, m_preferred ? 1 : 0, m_collects.size())
        .IgnoreError();
    for (const Collect& collect : m_collects)
        writer
            .WriteLine("%*s    Collect [%s], Index [%d], Type [%u], State [%s]", indent, "", collect.GetPath().c_str(),
                       collect.GetCollectFileIndex(), static_cast<unsigned>(collect.GetCollectFileType()),
                       collect.GetStateAsString())
            .IgnoreError();
    for (const auto& subGroup : m_subGroups) subGroup->Dump(writer, depth + 1);
}

// CCollectFileThreadAssignerPrivate -------------------------------------------------------------

namespace {

struct SGroupPtrLess {
    bool operator()(const std::shared_ptr<Group>& a, const std::shared_ptr<Group>& b) const { return *a < *b; }
};

// Where a collect sits: its group (owned by the tree) and its position among the group's collects.
struct SCollectRef {
    Group* group;
    size_t position;
    const Collect& Get() const { return group->GetCollects()[position]; }
};

}  // namespace

class CCollectFileThreadAssignerPrivate {
public:
    using Queue = std::priority_queue<std::shared_ptr<Group>, std::vector<std::shared_ptr<Group>>, SGroupPtrLess>;

    void Clear() {
        m_groups.clear();
        m_queue = Queue();
        m_byPath.clear();
    }

    std::shared_ptr<Group> AddTopLevelGroup(const std::string& name, int32_t basePriority, bool preferred) {
        auto group = std::make_shared<Group>(name, basePriority, preferred);
        m_groups.push_back(group);
        m_queue.push(group);
        return group;
    }

    std::shared_ptr<Group> FindTopLevelGroup(const std::string& name) const {
        for (const auto& group : m_groups)
            if (group->GetName() == name) return group;
        return nullptr;
    }

    std::shared_ptr<Group> FindGroup(const std::string& name) const {
        for (const auto& group : m_groups)
            if (auto found = group->FindGroup(name)) return found;
        return nullptr;
    }

    void Append(Group& group, Collect collect, std::vector<Collect>* out) {
        size_t position = group.AddCollect(std::move(collect));
        const Collect& added = group.GetCollects()[position];
        m_byPath[FXString::ToLower(added.GetPath())].push_back(SCollectRef{&group, position});
        if (out) out->push_back(added);
    }

    // The collect with that path (ignoring case). When the tree holds the path more than once,
    // the first that is not processed yet, so each copy can be finished in turn.
    const SCollectRef* Find(const std::string& path) const {
        auto it = m_byPath.find(FXString::ToLower(path));
        if (it == m_byPath.end()) return nullptr;
        for (const SCollectRef& ref : it->second)
            if (!ref.Get().IsProcessed()) return &ref;
        return &it->second.front();
    }

    // Takes the description's groups into the tree. `nextIndex(path, index)` gives each collect
    // its index; false leaves the collect out.
    template <class NextIndex>
    bool Merge(FileScan::CollectInfo& info, const std::string& label, bool onlyNew, NextIndex&& nextIndex,
               std::vector<Collect>& out) {
        ZYLOG(2, "Populating thread assigner, Group=[%s], Disks=[%zu], Components=[%zu], OnlyNew=[%d]",
              label.c_str(), info.disks.size(), info.components.size(), onlyNew ? 1 : 0);
        bool all = true;
        auto take = [&](Group& group, const FileScan::Collect& c) {
            if (onlyNew && Find(c.path)) return;
            int32_t index = -1;
            if (!nextIndex(c.path, index)) {
                all = false;
                return;
            }
            Append(group, Collect(c.path, index, Collect::STATE_NOT_PROCESSED, c.type), &out);
        };
        for (const auto& disk : info.disks) {
            auto diskGroup = FindTopLevelGroup(disk.name);
            if (!diskGroup) diskGroup = AddTopLevelGroup(disk.name, disk.preferred ? 2 : 1, disk.preferred);
            for (const auto& volume : disk.volumes) {
                std::shared_ptr<Group> volumeGroup;
                for (const auto& sub : diskGroup->GetSubGroups())
                    if (sub->GetName() == volume.path) volumeGroup = sub;
                if (!volumeGroup) {
                    volumeGroup =
                        std::make_shared<Group>(volume.path, diskGroup->GetBasePriority(), diskGroup->IsPreferred());
                    diskGroup->AddSubGroup(volumeGroup);
                }
                for (const auto& collect : volume.collects) take(*volumeGroup, collect);
            }
        }
        for (const auto& component : info.components) {
            if (!component.useThreadPool) {
                ZYLOG(1, "Ignoring collect files of component [%s] for backup via thread pool", component.name.c_str());
                continue;
            }
            auto group = FindTopLevelGroup(component.name);
            if (!group) group = AddTopLevelGroup(component.name, 1, false);
            for (const auto& collect : component.collects) take(*group, collect);
        }
        return all;
    }

    // The restart id of `path` in the map, added when missing.
    static bool RestartIndex(CRestartMapFileHandler& restartMap, const std::string& path, int32_t& index) {
        unsigned restartId = 0;
        CKoError e = restartMap.AddEntryIfNotExist(CRestartMapFileEntry(path), restartId);
        if (e.IsSuccess() && restartId > static_cast<unsigned>(std::numeric_limits<int32_t>::max()))
            e = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "Restart id out of range, Id=[%u]",
                                        restartId);
        if (e.IsError()) {
            ZYLOG_ERROR("Failed to add entry into restart map. Error=[%s]", e.AsString().c_str());
            return false;
        }
        index = static_cast<int32_t>(restartId);
        return true;
    }

    // Serves the group with the highest priority that has a collect of the kind.
    bool Take(bool fileExtent, Collect& out, std::string* groupName) {
        if (ZyLogEnabled(3))
            for (const auto& group : m_groups)
                ZYLOG(3, "Group [%s], Priority [%d]", group->GetName().c_str(), group->GetPriority());
        m_aside.clear();
        bool found = false;
        while (!m_queue.empty()) {
            std::shared_ptr<Group> group = m_queue.top();
            m_queue.pop();
            if (group->TakeACollect(fileExtent, out)) {
                ZYLOG(2, "Selecting collect [%s] from the family of [%s]", out.GetPath().c_str(),
                      group->GetName().c_str());
                group->ReducePriority();
                if (groupName) *groupName = group->GetName();
                m_queue.push(std::move(group));
                found = true;
                break;
            }
            ZYLOG(3, "No unprocessed collect remaining in group [%s]", group->GetName().c_str());
            m_aside.push_back(std::move(group));
        }
        for (auto& group : m_aside) m_queue.push(std::move(group));
        m_aside.clear();
        return found;
    }

    std::vector<std::shared_ptr<Group>> m_groups;  // top-level groups, in creation order
    Queue m_queue;                                 // the same groups by priority

private:
    // Finding collects by path is on every finished collect's path; a walk of the tree would make
    // a job with many collect files quadratic. Keyed by the path with ASCII letters folded.
    std::unordered_map<std::string, std::vector<SCollectRef>> m_byPath;
    std::vector<std::shared_ptr<Group>> m_aside;  // reused by Take
};

// CCollectFileThreadAssigner ----------------------------------------------------------------------

CCollectFileThreadAssigner::CCollectFileThreadAssigner()
    : m_private(std::make_shared<CCollectFileThreadAssignerPrivate>()) {}

bool CCollectFileThreadAssigner::PopulateFrom(FileScan::CollectInfo& info, const std::string& group,
                                              std::vector<Collect>& out) {
    m_private->Clear();
    int32_t next = 0;
    return m_private->Merge(info, group, false,
                            [&next](const std::string&, int32_t& index) {
                                index = next++;
                                return true;
                            },
                            out);
}

bool CCollectFileThreadAssigner::PopulateFrom(FileScan::CollectInfo& info, CRestartMapFileHandler& restartMap,
                                              const std::string& group, std::vector<Collect>& out) {
    m_private->Clear();
    return m_private->Merge(info, group, false,
                            [&restartMap](const std::string& path, int32_t& index) {
                                return CCollectFileThreadAssignerPrivate::RestartIndex(restartMap, path, index);
                            },
                            out);
}

bool CCollectFileThreadAssigner::PopulateFrom(const std::map<std::string, std::vector<Collect>>& groups,
                                              std::vector<Collect>& out) {
    m_private->Clear();
    for (const auto& [name, collects] : groups) {
        auto group = m_private->AddTopLevelGroup(name, 1, false);
        for (Collect collect : collects) {
            collect.SetState(Collect::STATE_NOT_PROCESSED);
            m_private->Append(*group, std::move(collect), &out);
        }
    }
    return true;
}

bool CCollectFileThreadAssigner::PopulateNewlyAddedFrom(FileScan::CollectInfo& info,
                                                        CRestartMapFileHandler& restartMap, const std::string& group,
                                                        std::vector<Collect>& out) {
    return m_private->Merge(info, group, true,
                            [&restartMap](const std::string& path, int32_t& index) {
                                return CCollectFileThreadAssignerPrivate::RestartIndex(restartMap, path, index);
                            },
                            out);
}

CKoError CCollectFileThreadAssigner::AddCollect(CRestartMapFileHandler& restartMap, const std::string& groupName,
                                                Collect& collect) {
    std::shared_ptr<Group> group = m_private->FindGroup(groupName);
    if (!group)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND, "Group [%s] not found, Collect=[%s]",
                                       groupName.c_str(), collect.GetPath().c_str());
    if (const SCollectRef* ref = m_private->Find(collect.GetPath())) {
        collect.SetCollectFileIndex(ref->Get().GetCollectFileIndex());
        collect.SetGroupName(ref->Get().GetGroupName());
        return CKoError::Success();
    }
    int32_t index = -1;
    if (!CCollectFileThreadAssignerPrivate::RestartIndex(restartMap, collect.GetPath(), index))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FUNCTION_FAILED,
                                       "Failed to add entry into restart map, Collect=[%s]", collect.GetPath().c_str());
    collect.SetCollectFileIndex(index);
    collect.SetState(Collect::STATE_NOT_PROCESSED);
    collect.SetGroupName(group->GetName());
    m_private->Append(*group, collect, nullptr);
    return CKoError::Success();
}

bool CCollectFileThreadAssigner::GetACollect(Collect& out) { return m_private->Take(false, out, nullptr); }

bool CCollectFileThreadAssigner::GetACollect(const std::string& lastCollectPath, Collect& out) {
    std::string familyName;
    if (const SCollectRef* ref = m_private->Find(lastCollectPath)) {
        Group* holder = ref->group;
        familyName = holder->GetName();
        holder->MarkProcessedAt(ref->position);
        for (std::shared_ptr<Group> group = holder->shared_from_this(); group; group = group->GetParent()) {
            if (group->TakeACollect(false, out)) {
                ZYLOG(2, "Selecting collect [%s] from the family of [%s]", out.GetPath().c_str(),
                      group->GetName().c_str());
                return true;
            }
        }
    }
    ZYLOG(1,
          "No unprocessed collect remaining in the family of [%s] to which [%s] belongs. Will check other groups in "
          "order of their current priority to find any unprocessed collects.",
          familyName.c_str(), lastCollectPath.c_str());
    return m_private->Take(false, out, nullptr);
}

bool CCollectFileThreadAssigner::GetAFileExtentEligibleCollect(Collect& out, std::string& groupName) {
    return m_private->Take(true, out, &groupName);
}

bool CCollectFileThreadAssigner::MarkCollectAsProcessed(const std::string& path) {
    const SCollectRef* ref = m_private->Find(path);
    if (!ref) return false;
    ref->group->MarkProcessedAt(ref->position);
    return true;
}

void CCollectFileThreadAssigner::ReInitPriorityOfGrpsIfAllCollectsAreProcessed() {
    std::vector<std::shared_ptr<Group>> groups;
    groups.reserve(m_private->m_queue.size());
    while (!m_private->m_queue.empty()) {
        groups.push_back(m_private->m_queue.top());
        m_private->m_queue.pop();
    }
    for (const auto& group : groups) {
        if (!group->AreAllCollectsProcessed()) continue;
        ZYLOG(3, "ReInitializing the priority of the group [%s]", group->GetName().c_str());
        group->SetPriority(group->IsPreferred() ? 2 : 1);
    }
    for (auto& group : groups) m_private->m_queue.push(std::move(group));
}

void CCollectFileThreadAssigner::Dump() {
    if (!ZyLogEnabled(2)) return;
    CLogWriterLineWriter writer(2);
    Dump(writer);
}

void CCollectFileThreadAssigner::Dump(CLineWriter& writer) {
    for (const auto& group : m_private->m_groups) group->Dump(writer);
}
