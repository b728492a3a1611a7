// One set of scan scenarios run against the tree DirChange, the flat-file index and the segment
// DirChange: random trees, random changes, renames, deletions, folders that cannot be read and
// items that cannot be examined. Every kind must choose the same files and folders as new and
// list the same deleted items, and all of them what a plain model of the file system says.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/Path.h"
#include "scan/dirchange/DirChangeKind.h"
#include "scan/dirchange/DirChangeRecorder.h"
#include "support/TestSupport.h"

namespace {

using testsupport::ScopedTempDir;

const EDirChangeKind kKinds[] = {EDirChangeKind::DIRCHANGE_KIND_TREE, EDirChangeKind::DIRCHANGE_KIND_FLAT,
                                 EDirChangeKind::DIRCHANGE_KIND_SEGMENTS};
const char* const kRoot = "/r";

std::string ParentOf(const std::string& path) { return path.substr(0, path.rfind('/')); }
std::string NameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// A file system as the walk sees it, and what happens to it between two jobs.
struct World {
    std::map<std::string, bool> items;       // path -> is a folder; the root is kRoot
    std::set<std::string> changed;           // files written since the previous job
    std::set<std::string> unreadableFolders; // reported, but cannot be opened
    std::set<std::string> unexaminable;      // cannot even be examined

    std::vector<std::string> ChildrenOf(const std::string& folder) const {
        std::vector<std::string> names;
        const std::string prefix = folder + "/";
        for (auto it = items.lower_bound(prefix); it != items.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it)
            if (it->first.find('/', prefix.size()) == std::string::npos) names.push_back(NameOf(it->first));
        // The walk's order: names by bytes.
        std::sort(names.begin(), names.end());
        return names;
    }
    std::vector<std::string> Folders() const {
        std::vector<std::string> out{kRoot};
        for (const auto& [path, folder] : items)
            if (folder) out.push_back(path);
        return out;
    }
    std::vector<std::string> Files() const {
        std::vector<std::string> out;
        for (const auto& [path, folder] : items)
            if (!folder) out.push_back(path);
        return out;
    }
    void RemoveTree(const std::string& path) {
        items.erase(path);
        const std::string prefix = path + "/";
        for (auto it = items.lower_bound(prefix); it != items.end() && it->first.compare(0, prefix.size(), prefix) == 0;)
            it = items.erase(it);
    }
};

// Names that exercise escaping and byte order.
std::string RandomName(std::mt19937& rng) {
    static const char* const kParts[] = {"a", "B", "c%d", "x|y", "sp ace", "\xc3\xa4", "a-b", "a.b", "Z", "q"};
    std::string name = kParts[rng() % (sizeof(kParts) / sizeof(kParts[0]))];
    name += std::to_string(rng() % 50);
    return name;
}

template <class T>
const T& Pick(std::mt19937& rng, const std::vector<T>& from) {
    return from[rng() % from.size()];
}

void Grow(World& world, std::mt19937& rng, int items) {
    for (int i = 0; i < items; ++i) {
        const std::vector<std::string> folders = world.Folders();
        const std::string path = Pick(rng, folders) + "/" + RandomName(rng);
        if (world.items.count(path)) continue;
        const bool folder = rng() % 4 == 0;
        world.items[path] = folder;
        if (!folder) world.changed.insert(path);
    }
}

// The changes between two jobs.
void Change(World& world, std::mt19937& rng) {
    world.changed.clear();
    world.unreadableFolders.clear();
    world.unexaminable.clear();
    std::vector<std::string> files = world.Files();
    for (int i = 0; i < 6 && !files.empty(); ++i) world.changed.insert(Pick(rng, files));
    for (int i = 0; i < 4 && !files.empty(); ++i) world.items.erase(Pick(rng, files));
    std::vector<std::string> folders = world.Folders();
    if (folders.size() > 3) world.RemoveTree(folders[1 + rng() % (folders.size() - 1)]);
    // A folder renamed: everything below it moves.
    folders = world.Folders();
    if (folders.size() > 2) {
        const std::string from = folders[1 + rng() % (folders.size() - 1)];
        const std::string to = ParentOf(from) + "/moved" + std::to_string(rng() % 1000);
        if (!world.items.count(to)) {
            std::map<std::string, bool> moved;
            for (auto it = world.items.lower_bound(from); it != world.items.end(); ++it) {
                if (it->first != from && it->first.compare(0, from.size() + 1, from + "/") != 0) continue;
                moved[to + it->first.substr(from.size())] = it->second;
            }
            world.RemoveTree(from);
            world.items.insert(moved.begin(), moved.end());
        }
    }
    // A file renamed, and one that becomes a folder.
    files = world.Files();
    if (!files.empty()) {
        const std::string from = Pick(rng, files);
        world.items.erase(from);
        world.items[from + "-renamed"] = false;
    }
    files = world.Files();
    if (!files.empty()) world.items[Pick(rng, files)] = true;
    Grow(world, rng, 15);
    // One folder that cannot be read, one item that cannot be examined; both may have changed too.
    folders = world.Folders();
    if (folders.size() > 2) world.unreadableFolders.insert(folders[1 + rng() % (folders.size() - 1)]);
    std::vector<std::string> all;
    for (const auto& [path, folder] : world.items) all.push_back(path);
    if (!all.empty()) world.unexaminable.insert(Pick(rng, all));
}

struct JobResult {
    std::vector<std::string> decisions;  // "new file ...", "changed file ...", "new folder ..."
    std::vector<std::string> deleted;    // sorted deleted-item lines
    std::vector<std::string> every;      // the same, listing every item
    std::map<std::string, bool> known;   // what this job's DirChange should hold (model only)
};

std::string DeletedLines(CDirChangeRecorder& recorder, bool listEveryItem) {
    char* data = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&data, &size);
    EXPECT_TRUE(recorder.WriteDeletedItems(stream, listEveryItem).IsSuccess());
    std::fclose(stream);
    std::string text(data, size);
    std::free(data);
    return text;
}

std::vector<std::string> SortedLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

bool IsBelowAny(const std::string& path, const std::set<std::string>& folders) {
    for (const std::string& f : folders)
        if (FXPath::IsAncestorOf(f, path)) return true;
    return false;
}

// One job of a kind over the world: the walk in the scanner's order.
JobResult RunJob(EDirChangeKind kind, const World& world, const std::string& previousFile, const std::string& currentFile,
                 bool includeFiles = true) {
    JobResult result;
    std::unique_ptr<CDirChangeRecorder> recorder;
    CDirChangeRecorder::SOptions options;
    options.includeFiles = includeFiles;
    options.deletedItemsInMemory = 64;  // deleted files found during the walk wait in a file
    EXPECT_TRUE(CDirChangeRecorder::Create(kind, options, recorder).IsSuccess());
    const bool full = previousFile.empty();
    if (!full) {
        CKoError e = recorder->LoadPrevious(previousFile, nullptr);
        EXPECT_TRUE(e.IsSuccess()) << e.AsString();
        EXPECT_FALSE(recorder->GetLoadReport().HasSkipped()) << recorder->GetLoadReport().Summary();
    }
    EXPECT_TRUE(recorder->StartCurrent(currentFile).IsSuccess());
    EXPECT_TRUE(recorder->AddSurface(kRoot).IsSuccess());
    auto folderItem = [&](const std::string& path) {
        if (!full && !recorder->IsFolderInPreviousJob(path)) result.decisions.push_back("new folder " + path);
        EXPECT_TRUE(recorder->AddFolder(path).IsSuccess());
        // The collect writer's bookkeeping.
        EXPECT_FALSE(recorder->IsWritten(path)) << path;
        EXPECT_TRUE(recorder->SetWritten(path).IsSuccess());
        EXPECT_TRUE(recorder->IsWritten(path)) << path;
    };
    std::vector<std::string> pending{kRoot};
    folderItem(kRoot);
    // Depth first, a folder's entries in name order, each folder before what is in it.
    std::vector<std::pair<std::string, std::vector<std::string>>> stack;
    stack.emplace_back(kRoot, world.ChildrenOf(kRoot));
    std::reverse(stack.back().second.begin(), stack.back().second.end());
    while (!stack.empty()) {
        if (stack.back().second.empty()) {
            stack.pop_back();
            continue;
        }
        const std::string path = stack.back().first + "/" + stack.back().second.back();
        stack.back().second.pop_back();
        if (world.unexaminable.count(path)) {
            EXPECT_TRUE(recorder->CarryForward(path).IsSuccess());
            continue;
        }
        if (world.items.at(path)) {
            folderItem(path);
            if (world.unreadableFolders.count(path)) {
                EXPECT_TRUE(recorder->CarryForward(path).IsSuccess());
                continue;
            }
            stack.emplace_back(path, world.ChildrenOf(path));
            std::reverse(stack.back().second.begin(), stack.back().second.end());
            continue;
        }
        bool collect = full;
        if (!collect && !recorder->IsFileInPreviousJob(path)) {
            collect = true;
            result.decisions.push_back("new file " + path);
        } else if (!collect && world.changed.count(path)) {
            collect = true;
            result.decisions.push_back("changed file " + path);
        }
        EXPECT_TRUE(recorder->AddFile(path, collect).IsSuccess());
    }
    CKoError e = recorder->EndScan();
    EXPECT_TRUE(e.IsSuccess()) << e.AsString();
    std::sort(result.decisions.begin(), result.decisions.end());
    result.deleted = SortedLines(DeletedLines(*recorder, false));
    result.every = SortedLines(DeletedLines(*recorder, true));
    // Asked again, the same answer.
    EXPECT_EQ(SortedLines(DeletedLines(*recorder, false)), result.deleted);
    recorder.reset();
    EXPECT_FALSE(FXPath::DoesPathExist(currentFile + ".deleted"));
    return result;
}

// What every kind must answer, from the model alone.
JobResult Expected(const World& world, const std::map<std::string, bool>* previous, bool includeFiles = true) {
    JobResult result;
    std::set<std::string> unreadable = world.unreadableFolders;
    // What the walk sees: nothing below an unreadable folder, nothing that cannot be examined.
    std::map<std::string, bool> seen{{kRoot, true}};
    for (const auto& [path, folder] : world.items) {
        bool hidden = IsBelowAny(path, unreadable);
        for (const std::string& u : world.unexaminable)
            if (path == u || FXPath::IsAncestorOf(u, path)) hidden = true;
        if (!hidden) seen[path] = folder;
    }
    result.known = seen;
    if (previous) {
        // Carried forward: what the previous job had at and below what could not be read.
        std::set<std::string> carriedRoots = unreadable;
        carriedRoots.insert(world.unexaminable.begin(), world.unexaminable.end());
        for (const auto& [path, folder] : *previous)
            for (const std::string& c : carriedRoots)
                // What the walk saw keeps the type it has now.
                if (path == c || FXPath::IsAncestorOf(c, path)) result.known.emplace(path, folder);
        for (const auto& [path, folder] : seen) {
            auto was = previous->find(path);
            if (folder) {
                if (was == previous->end() || !was->second) result.decisions.push_back("new folder " + path);
                continue;
            }
            const bool known = includeFiles ? (was != previous->end() && !was->second)
                                            : (previous->count(ParentOf(path)) && previous->at(ParentOf(path)));
            if (!known)
                result.decisions.push_back("new file " + path);
            else if (world.changed.count(path))
                result.decisions.push_back("changed file " + path);
        }
        std::set<std::string> goneFolders;
        for (const auto& [path, folder] : *previous) {
            if (result.known.count(path) || (!includeFiles && !folder)) continue;
            if (IsBelowAny(path, goneFolders)) continue;
            if (folder) goneFolders.insert(path);
            result.deleted.push_back((folder ? "??D" : "??d") + path + (folder ? "/" : ""));
        }
    }
    std::sort(result.decisions.begin(), result.decisions.end());
    std::sort(result.deleted.begin(), result.deleted.end());
    return result;
}

class DirChangeKindsTest : public ::testing::TestWithParam<unsigned> {
protected:
    ScopedTempDir m_dir;
};

TEST_P(DirChangeKindsTest, EveryKindChoosesTheSameItemsAsTheModel) {
    std::mt19937 rng(GetParam());
    World world;
    Grow(world, rng, 120);
    std::map<std::string, bool> previous;
    std::string files[3];
    for (int generation = 0; generation < 6; ++generation) {
        SCOPED_TRACE("generation " + std::to_string(generation));
        if (generation > 0) Change(world, rng);
        const JobResult expected = Expected(world, generation > 0 ? &previous : nullptr);
        std::vector<std::string> treeEvery;
        for (size_t k = 0; k < 3; ++k) {
            SCOPED_TRACE(kKinds[k].AsString());
            const std::string current = m_dir / (std::string(kKinds[k].AsString()) + std::to_string(generation));
            const JobResult got = RunJob(kKinds[k], world, files[k], current);
            EXPECT_EQ(got.decisions, expected.decisions);
            EXPECT_EQ(got.deleted, expected.deleted);
            // Every deleted item, folders and what was in them, as the tree lists them.
            if (k == 0)
                treeEvery = got.every;
            else
                EXPECT_EQ(got.every, treeEvery);
            files[k] = current;
        }
        previous = expected.known;
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, DirChangeKindsTest, ::testing::Values(1u, 2u, 3u, 4u));

// The tree and segment kinds read each other's files: a job may switch between them.
TEST(DirChangeKinds, TreeAndSegmentJobsFollowEachOther) {
    ScopedTempDir dir;
    std::mt19937 rng(11);
    World world;
    Grow(world, rng, 80);
    std::map<std::string, bool> previous;
    std::string file;
    for (int generation = 0; generation < 5; ++generation) {
        SCOPED_TRACE("generation " + std::to_string(generation));
        if (generation > 0) Change(world, rng);
        const EDirChangeKind kind = generation % 2 ? EDirChangeKind::DIRCHANGE_KIND_SEGMENTS : EDirChangeKind::DIRCHANGE_KIND_TREE;
        const JobResult expected = Expected(world, generation > 0 ? &previous : nullptr);
        const std::string current = dir / ("dc" + std::to_string(generation));
        const JobResult got = RunJob(kind, world, file, current);
        EXPECT_EQ(got.decisions, expected.decisions);
        EXPECT_EQ(got.deleted, expected.deleted);
        file = current;
        previous = expected.known;
    }
}

// Folders only: the tree and the flat kinds answer a file's question for its folder.
TEST(DirChangeKinds, FoldersOnlyTreeAndFlatAgree) {
    ScopedTempDir dir;
    std::mt19937 rng(5);
    World world;
    Grow(world, rng, 100);
    std::map<std::string, bool> previous;
    std::string files[2];
    const EDirChangeKind kinds[] = {EDirChangeKind::DIRCHANGE_KIND_TREE, EDirChangeKind::DIRCHANGE_KIND_FLAT};
    for (int generation = 0; generation < 4; ++generation) {
        SCOPED_TRACE("generation " + std::to_string(generation));
        if (generation > 0) Change(world, rng);
        const JobResult expected = Expected(world, generation > 0 ? &previous : nullptr, false);
        for (size_t k = 0; k < 2; ++k) {
            SCOPED_TRACE(kinds[k].AsString());
            const std::string current = dir / (std::string(kinds[k].AsString()) + std::to_string(generation));
            const JobResult got = RunJob(kinds[k], world, files[k], current, false);
            EXPECT_EQ(got.decisions, expected.decisions);
            EXPECT_EQ(got.deleted, expected.deleted);
            files[k] = current;
        }
        previous = expected.known;
    }
}

TEST(DirChangeKinds, ParseSettingsAndSwitches) {
    EDirChangeKind kind;
    ASSERT_TRUE(EDirChangeKind::Parse("Flat", kind).IsSuccess());
    EXPECT_EQ(kind, EDirChangeKind::DIRCHANGE_KIND_FLAT);
    EXPECT_TRUE(FXErrorUtil::IsWin32(EDirChangeKind::Parse("fast", kind), ZyWin32::ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(EDirChangeKind::FromRecord("", kind).IsSuccess());
    EXPECT_EQ(kind, EDirChangeKind::DIRCHANGE_KIND_TREE);
    ASSERT_TRUE(EDirChangeKind::FromRecord("segments", kind).IsSuccess());
    EXPECT_EQ(kind, EDirChangeKind::DIRCHANGE_KIND_SEGMENTS);

    testsupport::ScopedSettings settings;
    ASSERT_TRUE(EDirChangeKind::FromSetting(kind).IsSuccess());
    EXPECT_EQ(kind, EDirChangeKind::DIRCHANGE_KIND_TREE);
    settings.Set("FileSystemAgent", "DirChangeKind", " segments ");
    ASSERT_TRUE(EDirChangeKind::FromSetting(kind).IsSuccess());
    EXPECT_EQ(kind, EDirChangeKind::DIRCHANGE_KIND_SEGMENTS);
    settings.Set("FileSystemAgent", "DirChangeKind", "btree");
    EXPECT_TRUE(EDirChangeKind::FromSetting(kind).IsError());

    std::string reason;
    const EDirChangeKind tree(EDirChangeKind::DIRCHANGE_KIND_TREE), flat(EDirChangeKind::DIRCHANGE_KIND_FLAT),
        segments(EDirChangeKind::DIRCHANGE_KIND_SEGMENTS);
    EXPECT_TRUE(segments.CanLoadPreviousOf(tree, reason));
    EXPECT_TRUE(tree.CanLoadPreviousOf(segments, reason));
    EXPECT_TRUE(flat.CanLoadPreviousOf(flat, reason));
    EXPECT_TRUE(reason.empty());
    EXPECT_FALSE(flat.CanLoadPreviousOf(segments, reason));
    EXPECT_NE(reason.find("flat DirChange file (flat)"), std::string::npos) << reason;
    EXPECT_NE(reason.find("(segments)"), std::string::npos) << reason;
    EXPECT_FALSE(tree.CanLoadPreviousOf(flat, reason));
}

}  // namespace
