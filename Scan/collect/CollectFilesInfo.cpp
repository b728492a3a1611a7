#include "scan/collect/CollectFilesInfo.h"

#include <new>
#include <unordered_set>

#include "CollectFilesInfoPrivate.h"
#include "core/Env.h"
#include "core/File.h"
#include "core/LogWriter.h"
#include "core/Path.h"
#include "core/StringUtil.h"

namespace {

constexpr const char* kUnknownDisk = "UnknownPhysicalMedia";

}  // namespace

// CCollectFilesInfoPrivate -------------------------------------------------------------------

CKoError CCollectFilesInfoPrivate::AddDiskCollect(const std::string& path, const FileScan::Collect& collect) {
    if (collect.path.empty())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER,
                                       "Collect file without a path, Volume=[%s]", path.c_str());
    FileScan::DiskCollectInfo* disk = nullptr;
    for (auto& d : m_info.disks)
        if (d.name == kUnknownDisk) disk = &d;
    if (!disk) {
        disk = &m_info.disks.emplace_back();
        disk->name = kUnknownDisk;
        disk->isUnc = FXFile::IsVolumeUnc(path);
    }
    FileScan::VolumeCollectInfo* volume = nullptr;
    for (auto& v : disk->volumes)
        if (v.path == path) volume = &v;
    if (!volume) {
        volume = &disk->volumes.emplace_back();
        volume->path = path;
    }
    volume->collects.push_back(collect);
    return CKoError::Success();
}

CKoError CCollectFilesInfoPrivate::AddComponentCollect(const std::string& component, const FileScan::Collect& collect,
                                                       bool useThreadPool) {
    if (collect.path.empty())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER,
                                       "Collect file without a path, Component=[%s]", component.c_str());
    FileScan::ComponentCollectInfo* target = nullptr;
    for (auto& c : m_info.components)
        if (c.name == component) target = &c;
    if (!target) {
        target = &m_info.components.emplace_back();
        target->name = component;
        target->useThreadPool = useThreadPool;
    }
    target->collects.push_back(collect);
    return CKoError::Success();
}

CKoError CCollectFilesInfoPrivate::ReplaceCollectWithParts(const std::string& name,
                                                           const std::set<std::string>& parts) {
    // No parts would drop the collect's items from the backup.
    if (parts.empty() || parts.count(std::string()))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER,
                                       "No parts or an empty part to replace collect file [%s] with", name.c_str());
    bool found = false;
    auto replace = [&](std::vector<FileScan::Collect>& collects) {
        for (size_t i = 0; i < collects.size();) {
            if (collects[i].path != name) {
                ++i;
                continue;
            }
            const FileScan::CollectFileType type = collects[i].type;
            collects.erase(collects.begin() + static_cast<std::ptrdiff_t>(i));
            for (const std::string& part : parts)
                collects.insert(collects.begin() + static_cast<std::ptrdiff_t>(i++), FileScan::Collect(part, type));
            found = true;
        }
    };
    for (auto& disk : m_info.disks)
        for (auto& volume : disk.volumes) replace(volume.collects);
    for (auto& component : m_info.components) replace(component.collects);
    if (!found)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND, "Collect file [%s] not found for replacement",
                                       name.c_str());
    return CKoError::Success();
}

CKoError CCollectFilesInfoPrivate::RenameCollect(const std::string& from, const std::string& to) {
    FileScan::Collect* source = nullptr;
    bool taken = false;
    ForEachCollect([&](FileScan::Collect& c) {
        if (!source && c.path == from) source = &c;
        if (c.path == to && to != from) taken = true;
    });
    if (!source)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND, "Collect file [%s] not found for rename",
                                       from.c_str());
    if (taken || to.empty())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_ALREADY_EXISTS,
                                       "Failed to rename collect file [%s] to [%s]", from.c_str(), to.c_str());
    source->path = to;
    return CKoError::Success();
}

CKoError CCollectFilesInfoPrivate::NormalizeCollectNames(const std::string& prefix,
                                                         const FileScan::CollectFileType* type, int& next,
                                                         Renames* renames) {
    std::vector<FileScan::Collect*> moving;
    std::unordered_set<std::string> staying;
    ForEachCollect([&](FileScan::Collect& c) {
        if (!type || c.type == *type)
            moving.push_back(&c);
        else
            staying.insert(c.path);
    });

    // Where each goes: its own folder, or the prefix's when the prefix is a path.
    std::vector<std::string> targets;
    targets.reserve(moving.size());
    int number = next;
    for (const FileScan::Collect* c : moving) {
        std::string name = FXString::Format("%s%d.zyf", prefix.c_str(), number++);
        if (FXPath::IsDelimiter(name.front())) {
            targets.push_back(std::move(name));
            continue;
        }
        std::string parent, oldName;
        CKoError e = FXPath::SplitParentPath(c->path, parent, oldName);
        if (e.IsError())
            return e.Push(ZY_HERE, "Failed to split path [%s] into parent path and file name", c->path.c_str());
        targets.push_back(FXPath::Join(parent, name));
    }

    std::unordered_set<std::string> sources;
    for (const FileScan::Collect* c : moving) sources.insert(c->path);
    bool chained = false;
    for (size_t i = 0; i < moving.size(); ++i) {
        if (staying.count(targets[i]))
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_ALREADY_EXISTS,
                                           "Renumbering collect file [%s] would replace collect file [%s]",
                                           moving[i]->path.c_str(), targets[i].c_str());
        if (targets[i] != moving[i]->path && sources.count(targets[i])) chained = true;
    }

    std::vector<std::string> original;
    original.reserve(moving.size());
    for (const FileScan::Collect* c : moving) original.push_back(c->path);
    // The entries follow each move, so they name the files on disk even when a move fails.
    auto move = [](FileScan::Collect& c, const std::string& to) {
        CKoError e = FXFile::ZYMoveFileEx(c.path, to, true);
        if (e.IsError())
            return e.Push(ZY_HERE, "Failed to rename collect when re-numbering all collect files, From=[%s], To=[%s]",
                          c.path.c_str(), to.c_str());
        c.path = to;
        return CKoError::Success();
    };
    CKoError e;
    if (chained) {
        // Some target is a collect still to be moved: first move all out of the way.
        for (size_t i = 0; e.IsSuccess() && i < moving.size(); ++i)
            if (targets[i] != moving[i]->path) e = move(*moving[i], targets[i] + ".renumber");
    }
    for (size_t i = 0; e.IsSuccess() && i < moving.size(); ++i)
        if (targets[i] != moving[i]->path) e = move(*moving[i], targets[i]);

    if (renames)
        for (size_t i = 0; i < moving.size(); ++i)
            if (moving[i]->path != original[i]) renames->emplace_back(original[i], moving[i]->path);
    if (e.IsError()) return e;
    next = number;
    return CKoError::Success();
}

CKoError CCollectFilesInfoPrivate::Serialize(std::string& out) const {
    CKoError e = m_info.SerializeToString(out);
    if (e.IsError()) {
        ZYLOG_ERROR("Cannot serialise the collect files description, error=%s", e.AsString().c_str());
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FUNCTION_FAILED,
                                       "Failed to serialize FileScan::CollectInfo, error=[%u]",
                                       static_cast<unsigned>(e.GetErrorCode()));
    }
    return CKoError::Success();
}

CKoError CCollectFilesInfoPrivate::SaveToFile(const std::string& path) const {
    std::string content;
    CKoError e = Serialize(content);
    if (e.IsError()) return e.Push(ZY_HERE, "FileName=[%s]", path.c_str());

    // The previous description stays in force until the new one is whole and on disk.
    FXDurableReplace replace(path);
    e = replace.Open();
    if (e.IsError()) return e.Push(ZY_HERE, "Failed to create file [%s]", path.c_str());
    e = replace.Append(content);
    if (e.IsSuccess()) e = replace.Commit();
    if (e.IsError()) return e.Push(ZY_HERE, "Failed to write file [%s]", path.c_str());
    return CKoError::Success();
}

// CCollectFilesInfo ------------------------------------------------------------------------------

CKoError CCollectFilesInfo::CreateCollectFileInfo(std::shared_ptr<CCollectFilesInfo>& out) {
    return CreateInitializedCollectFilesInfo(out, [] { return new (std::nothrow) CCollectFilesInfo(); });
}

CCollectFilesInfo::~CCollectFilesInfo() = default;

CKoError CCollectFilesInfo::Initialize() {
    CKoError e = CreateCollectFilesInfoPrivate();
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CCollectFilesInfo::CreateCollectFilesInfoPrivate() {
    m_private.reset(new (std::nothrow) CCollectFilesInfoPrivate());
    if (!m_private)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY,
                                       "Cannot allocate a collect files description");
    return CKoError::Success();
}

void CCollectFilesInfo::GetAllCollects(std::vector<std::string>& collects) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    m_private->ForEachCollect([&](const FileScan::Collect& c) { collects.push_back(c.path); });
}

void CCollectFilesInfo::GetCollectsEligibleForMultipleStreams(std::vector<std::string>& collects) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    m_private->ForEachCollect([&](const FileScan::Collect& c) {
        if (c.type != FileScan::COLLECT_FILE_TYPE_FILE_EXTENT) collects.push_back(c.path);
    });
}

void CCollectFilesInfo::GetCollectsByType(FileScan::CollectFileType type, std::vector<std::string>& collects) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    m_private->ForEachCollect([&](const FileScan::Collect& c) {
        if (c.type == type) collects.push_back(c.path);
    });
}

CKoError CCollectFilesInfo::AddDiskCollect(const std::string& path, FileScan::Collect& collect) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    return m_private->AddDiskCollect(path, collect);
}

CKoError CCollectFilesInfo::AddComponentCollect(const std::string& component, FileScan::Collect& collect,
                                                bool useThreadPool) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    return m_private->AddComponentCollect(component, collect, useThreadPool);
}

CKoError CCollectFilesInfo::ReplaceCollectWithParts(const std::string& name, const std::set<std::string>& parts) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    return m_private->ReplaceCollectWithParts(name, parts);
}

CKoError CCollectFilesInfo::RenameCollect(const std::string& from, const std::string& to) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    return m_private->RenameCollect(from, to);
}

CKoError CCollectFilesInfo::NormalizeAllCollectNames(const std::string& prefix, int& next) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    return m_private->NormalizeCollectNames(prefix, nullptr, next, nullptr);
}

CKoError CCollectFilesInfo::NormalizeCollectNamesByType(const std::string& prefix, FileScan::CollectFileType type,
                                                        int& next) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    return m_private->NormalizeCollectNames(prefix, &type, next, nullptr);
}

CKoError CCollectFilesInfo::Serialize(std::string& out) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    return m_private->Serialize(out);
}

CKoError CCollectFilesInfo::SaveToFile(const std::string& path) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    return m_private->SaveToFile(path);
}

CKoError CCollectFilesInfo::Parse(const std::string& text) {
    FileScan::CollectInfo parsed;
    CKoError e = parsed.ParseFromString(text);
    if (e.IsError()) return e.Push(ZY_HERE, "Failed to parse collect files description");
    FXCriticalSection::Scoped lock(m_private->m_lock);
    m_private->m_info = std::move(parsed);
    return CKoError::Success();
}

CKoError CCollectFilesInfo::LoadFromFile(const std::string& path) {
    std::string text;
    CKoError e = FXFile::ReadWholeFile(path, text);
    if (e.IsError()) return e.Push(ZY_HERE, "Failed to read collect files description [%s]", path.c_str());
    e = Parse(text);
    if (e.IsError()) return e.Push(ZY_HERE, "FileName=[%s]", path.c_str());
    return CKoError::Success();
}

void CCollectFilesInfo::GetCollectInfo(FileScan::CollectInfo& info) {
    FXCriticalSection::Scoped lock(m_private->m_lock);
    info = m_private->m_info;
}
