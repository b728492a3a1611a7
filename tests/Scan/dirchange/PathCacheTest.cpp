#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/LogWriter.h"
#include "scan/dirchange/PathCache.h"
#include "support/TestSupport.h"

namespace {

using Trie = CPathCacheOrderedT<uint32_t>;
using NodePtr = Trie::NodePtr;
using R = EPathCacheResult;

// The full path of a node, rebuilt from its parent links ("/" for the root).
std::string PathOf(const NodePtr& node) {
    std::vector<std::string> names;
    for (NodePtr n = node; n && n->GetParent(); n = n->GetParent()) names.emplace_back(n->GetName());
    std::string path;
    for (auto it = names.rbegin(); it != names.rend(); ++it) path += "/" + *it;
    return path.empty() ? "/" : path;
}

void Put(Trie& trie, const std::string& path, uint32_t value = 1) { ASSERT_TRUE(trie.Insert(path, value).IsSuccess()) << path; }

struct Recorder : CPathCacheOrderedTWalkCallback<uint32_t> {
    std::vector<std::string> lines;
    std::set<std::string> prune;
    bool OnNode(const std::string& path, const std::string& name, int depth, BPathCacheNodeFlags flags,
                const uint32_t& data) override {
        lines.push_back(path + "|" + name + "|" + std::to_string(depth) + "|" +
                        (flags.IsSet(BPathCacheNodeFlags::CONTENT_PRESENT) ? std::to_string(data) : "-"));
        return prune.count(path) == 0;
    }
};

struct VerticalRecorder : CPathCacheOrderedTWalkCallbackVertical<uint32_t> {
    std::vector<std::string> paths;
    bool OnNode(const std::string& path, const std::string&, int, BPathCacheNodeFlags, const uint32_t&) override {
        paths.push_back(path);
        return true;
    }
};

TEST(PathCache, PathSpellingsNameTheSameNode) {
    Trie trie;
    Put(trie, "/a/b", 7);
    for (const char* spelling : {"/a/b", "a/b", "/a//b", "/a/b/", "//a/b", "a///b/"}) {
        NodePtr node;
        EXPECT_EQ(trie.Search(spelling, node), R::FOUND_EXACT) << spelling;
        EXPECT_EQ(PathOf(node), "/a/b") << spelling;
    }
    EXPECT_EQ(trie.GetRoot()->GetChildren().size(), 1u);
    // A run of delimiters at the end leaves an empty last component below b: b is its parent.
    NodePtr node;
    EXPECT_EQ(trie.Search("/a/b//", node), R::FOUND_PARENT);
    EXPECT_EQ(PathOf(node), "/a/b");
}

TEST(PathCache, SearchReportsTheNearestContent) {
    Trie trie;
    Put(trie, "/a/b/c", 3);
    NodePtr node;
    EXPECT_EQ(trie.Search("/a/b", node), R::NOT_FOUND);
    EXPECT_FALSE(node);
    EXPECT_EQ(trie.Search("/x", node), R::NOT_FOUND);
    EXPECT_EQ(trie.Search("/a/x/y", node), R::NOT_FOUND);

    Put(trie, "/a", 1);
    EXPECT_EQ(trie.Search("/a/b", node), R::FOUND_PARENT);
    EXPECT_EQ(PathOf(node), "/a");
    EXPECT_EQ(trie.Search("/a/b/c/d", node), R::FOUND_PARENT);
    EXPECT_EQ(PathOf(node), "/a/b/c");
    EXPECT_EQ(trie.Search("/a/b/c/d/e", node), R::FOUND_ANCESTOR);
    EXPECT_EQ(PathOf(node), "/a/b/c");
    // The middle component b is missing content and x is missing altogether.
    EXPECT_EQ(trie.Search("/a/b/x", node), R::FOUND_ANCESTOR);
    EXPECT_EQ(PathOf(node), "/a");
    EXPECT_EQ(trie.Search("/a/x/y", node), R::FOUND_ANCESTOR);
    EXPECT_EQ(PathOf(node), "/a");

    Put(trie, "/a/b", 2);
    EXPECT_EQ(trie.Search("/a/b/x", node), R::FOUND_PARENT);
    EXPECT_EQ(PathOf(node), "/a/b");
    EXPECT_EQ(trie.Search("/a/b/x/y", node), R::FOUND_ANCESTOR);
    EXPECT_EQ(PathOf(node), "/a/b");

    // The value form copies the named node's data, and leaves the value alone when nothing is found.
    uint32_t value = 99;
    EXPECT_EQ(trie.Search("/a/b/x/y", value), R::FOUND_ANCESTOR);
    EXPECT_EQ(value, 2u);
    value = 99;
    EXPECT_EQ(trie.Search("/q/r", value), R::NOT_FOUND);
    EXPECT_EQ(value, 99u);
}

TEST(PathCache, SearchesAllocateNothing) {
    const long atStart = testsupport::AllocationCount();
    Trie trie;
    for (int i = 0; i < 300; ++i) Put(trie, "/some/folder/with/a-long-file-name-" + std::to_string(i) + ".txt", 1);
    ASSERT_GT(testsupport::AllocationCount(), atStart + 300);  // the counter does see the trie's allocations
    const std::string hit = "/some/folder/with/a-long-file-name-150.txt";
    const std::string miss = "/some/folder/with/a-long-file-name-150.txt/below/it";
    NodePtr node;
    uint32_t value = 0;
    const long before = testsupport::AllocationCount();
    EXPECT_EQ(trie.Search(hit, node), R::FOUND_EXACT);
    EXPECT_EQ(trie.Search(miss, value), R::FOUND_ANCESTOR);
    EXPECT_EQ(trie.SearchIgnoreContent(miss, node), R::FOUND_ANCESTOR);
    EXPECT_EQ(trie.Insert(hit, 2).GetErrorCode(), 0);  // an existing path: nothing to make
    EXPECT_EQ(testsupport::AllocationCount(), before);
}

TEST(PathCache, RootIsFoundOnlyWithContent) {
    Trie trie;
    Put(trie, "/a/b", 2);
    NodePtr node;
    for (const char* path : {"", "/"}) {
        EXPECT_EQ(trie.Search(path, node), R::NOT_FOUND) << path;
        EXPECT_FALSE(node);
    }
    Put(trie, "/", 9);
    for (const char* path : {"", "/"}) {
        EXPECT_EQ(trie.Search(path, node), R::FOUND_EXACT) << path;
        EXPECT_EQ(node, trie.GetRoot());
    }
    // The root now answers for everything beneath it.
    EXPECT_EQ(trie.Search("/x", node), R::FOUND_PARENT);
    EXPECT_EQ(node, trie.GetRoot());
    EXPECT_EQ(trie.Search("/x/y", node), R::FOUND_ANCESTOR);
    EXPECT_EQ(node, trie.GetRoot());
    EXPECT_EQ(trie.Search("/a", node), R::FOUND_PARENT);
    EXPECT_EQ(node, trie.GetRoot());
    // Inserting the empty path again keeps the data (LeaveDataAlone).
    Put(trie, "", 5);
    uint32_t value = 0;
    EXPECT_EQ(trie.Search("", value), R::FOUND_EXACT);
    EXPECT_EQ(value, 9u);
}

TEST(PathCache, NamesCompareByUnsignedBytes) {
    Trie trie;
    for (const char* name : {"a", "B", "\xC3\xA9", "A", "b", "ab", "a b", "Z"}) Put(trie, std::string("/d/") + name);
    std::vector<std::string> names;
    const NodePtr& d = *trie.GetRoot()->FindChild("d");
    for (const auto& [name, child] : d->GetChildren()) names.emplace_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"A", "B", "Z", "a", "a b", "ab", "b", "\xC3\xA9"}));
    NodePtr node;
    EXPECT_EQ(trie.Search("/d/AB", node), R::NOT_FOUND);
}

TEST(PathCache, WalkIsPreOrderWithPathsDepthsAndPruning) {
    Trie trie;
    Put(trie, "/c", 3);
    Put(trie, "/a/b", 2);
    Put(trie, "/a/b/z", 4);
    Recorder all;
    EXPECT_EQ(trie.Walk(all), 4);
    EXPECT_EQ(all.lines, (std::vector<std::string>{"/|/|1|-", "/a|a|2|-", "/a/b|b|3|2", "/a/b/z|z|4|4", "/c|c|2|3"}));

    Recorder pruned;
    pruned.prune = {"/a"};
    EXPECT_EQ(trie.Walk(pruned), 1);
    EXPECT_EQ(pruned.lines, (std::vector<std::string>{"/|/|1|-", "/a|a|2|-", "/c|c|2|3"}));

    Recorder stopAtRoot;
    stopAtRoot.prune = {"/"};
    EXPECT_EQ(trie.Walk(stopAtRoot), 0);
    EXPECT_EQ(stopAtRoot.lines.size(), 1u);
}

TEST(PathCache, WalkWithoutExposedRoot) {
    Trie trie;
    trie.SetExposeRoot(false);
    Put(trie, "/usr/bin", 1);
    Put(trie, "rel", 2);
    Recorder r;
    EXPECT_EQ(trie.Walk(r), 3);
    // "/usr" is one first-level name; the root is not reported while it has no content.
    EXPECT_EQ(r.lines, (std::vector<std::string>{"/usr|/usr|1|-", "/usr/bin|bin|2|1", "rel|rel|1|2"}));
    Put(trie, "/", 5);
    Recorder withRoot;
    EXPECT_EQ(trie.Walk(withRoot), 3);
    EXPECT_EQ(withRoot.lines.front(), "(ROOT)|(ROOT)|0|5");
}

TEST(PathCache, VerticalWalkVisitsLeavesFirst) {
    Trie trie;
    for (const char* path : {"/d1/x", "/f2", "/f1", "/d0/y", "/d0/f"}) Put(trie, path);
    VerticalRecorder r;
    EXPECT_EQ(trie.Walk(r), 7);
    EXPECT_EQ(r.paths, (std::vector<std::string>{"/", "/f1", "/f2", "/d0", "/d0/f", "/d0/y", "/d1", "/d1/x"}));
}

TEST(PathCache, WalkNodeGivesNodesAndDepths) {
    struct Depths : CPathCacheOrderedTWalkNodeCallback<uint32_t> {
        std::vector<std::string> seen;
        bool OnNode(int depth, const std::shared_ptr<CPathCacheOrderedTNode<uint32_t>>& node) override {
            seen.push_back(std::to_string(depth) + PathOf(node));
            return node->GetName() != "skip";
        }
    };
    Trie trie;
    Put(trie, "/a/b");
    Put(trie, "/skip/c");
    Depths d;
    EXPECT_EQ(trie.WalkNode(d), 2);
    EXPECT_EQ(d.seen, (std::vector<std::string>{"1/", "2/a", "3/a/b", "2/skip"}));

    Trie hidden;
    hidden.SetExposeRoot(false);
    Put(hidden, "x");
    Depths h;
    EXPECT_EQ(hidden.WalkNode(h), 1);
    EXPECT_EQ(h.seen, (std::vector<std::string>{"1/x"}));
}

TEST(PathCache, ExposeRootOffKeepsLeadingDelimiters) {
    Trie trie;
    trie.SetExposeRoot(false);
    Put(trie, "/usr/bin", 1);
    NodePtr node;
    EXPECT_EQ(trie.Search("/usr/bin", node), R::FOUND_EXACT);
    EXPECT_EQ(trie.Search("usr/bin", node), R::NOT_FOUND);
    ASSERT_NE(trie.GetRoot()->FindChild("/usr"), nullptr);
    // A lone delimiter is the root.
    EXPECT_EQ(trie.Search("/", node), R::NOT_FOUND);
    Put(trie, "/", 4);
    EXPECT_EQ(trie.Search("/", node), R::FOUND_EXACT);
    EXPECT_EQ(node, trie.GetRoot());
    EXPECT_EQ(trie.GetRoot()->GetChildren().size(), 1u);

    // Without content bits: the root as deepest node is no answer.
    EXPECT_EQ(trie.SearchIgnoreContent("/usr/lib", node), R::FOUND_PARENT);
    EXPECT_EQ(node->GetName(), "/usr");
    EXPECT_EQ(trie.SearchIgnoreContent("/opt", node), R::NOT_FOUND);
    EXPECT_FALSE(node);
    EXPECT_EQ(trie.SearchIgnoreContent("/opt/x", node), R::NOT_FOUND);
    EXPECT_EQ(trie.SearchIgnoreContent("/", node), R::FOUND_EXACT);
    EXPECT_EQ(node, trie.GetRoot());
}

TEST(PathCache, SearchIgnoreContentFindsStructure) {
    Trie trie;
    Put(trie, "/a/b/c");
    NodePtr node;
    EXPECT_EQ(trie.SearchIgnoreContent("/a/b", node), R::FOUND_EXACT);
    EXPECT_EQ(PathOf(node), "/a/b");
    EXPECT_EQ(trie.SearchIgnoreContent("/a/b/x", node), R::FOUND_PARENT);
    EXPECT_EQ(PathOf(node), "/a/b");
    EXPECT_EQ(trie.SearchIgnoreContent("/a/x/y/z", node), R::FOUND_ANCESTOR);
    EXPECT_EQ(PathOf(node), "/a");
    EXPECT_EQ(trie.SearchIgnoreContent("/q", node), R::FOUND_PARENT);
    EXPECT_EQ(node, trie.GetRoot());
    EXPECT_EQ(trie.SearchIgnoreContent("", node), R::FOUND_EXACT);
    EXPECT_EQ(node, trie.GetRoot());
}

TEST(PathCache, SearchOrInsertCreatesWithDefaultData) {
    CPathCacheOrderedT<std::shared_ptr<int>> trie;
    CPathCacheOrderedT<std::shared_ptr<int>>::NodePtr node;
    EPathCacheResult result;
    ASSERT_TRUE(trie.SearchOrInsert("/a/b", node, result).IsSuccess());
    EXPECT_EQ(result, R::FOUND_EXACT);
    EXPECT_TRUE(node->IsContentPresent());
    EXPECT_FALSE(node->GetData());
    node->GetData() = std::make_shared<int>(5);
    CPathCacheOrderedT<std::shared_ptr<int>>::NodePtr again;
    ASSERT_TRUE(trie.SearchOrInsert("a/b/", again, result).IsSuccess());
    EXPECT_EQ(again, node);
    EXPECT_EQ(*again->GetData(), 5);
    // The intermediate node stays without content; the root is reached by "/".
    ASSERT_TRUE(trie.SearchOrInsert("/", again, result).IsSuccess());
    EXPECT_EQ(again, trie.GetRoot());
    EXPECT_FALSE((*trie.GetRoot()->FindChild("a"))->IsContentPresent());
}

TEST(PathCache, UpdatePolicies) {
    struct Sum {
        static uint32_t OnExists(uint32_t existing, uint32_t value) { return existing + value; }
    };
    Trie trie;
    ASSERT_TRUE(trie.InsertOrUpdate<Sum>("/a", 2).IsSuccess());
    ASSERT_TRUE(trie.InsertOrUpdate<Sum>("/a", 3).IsSuccess());
    uint32_t value = 0;
    trie.Search("/a", value);
    EXPECT_EQ(value, 5u);

    // Below a held node: the same as through the full path, policy included.
    NodePtr a;
    ASSERT_EQ(trie.SearchIgnoreContent("/a", a), R::FOUND_EXACT);
    ASSERT_TRUE(trie.InsertOrUpdateChild<Sum>(a, "b", 4).IsSuccess());
    ASSERT_TRUE(trie.InsertOrUpdate<Sum>("/a/b/", 1).IsSuccess());
    ASSERT_TRUE(trie.InsertOrUpdateChild<Sum>(a, "b", 10).IsSuccess());
    ASSERT_EQ(trie.Search("/a/b", value), R::FOUND_EXACT);
    EXPECT_EQ(value, 15u);
    EXPECT_EQ(a->GetChildren().size(), 1u);
    EXPECT_TRUE(trie.IsSingleComponent("b c"));
    EXPECT_FALSE(trie.IsSingleComponent("b/c"));
    EXPECT_FALSE(trie.IsSingleComponent("\\"));
    EXPECT_FALSE(trie.IsSingleComponent(""));
    trie.SetWriteProtected(true);
    EXPECT_TRUE(FXErrorUtil::IsWin32(trie.InsertOrUpdateChild<Sum>(a, "c", 1), ZyWin32::ERROR_WRITE_PROTECT));

    EXPECT_EQ(CombineAffinity::OnExists(0x010001, 0x020005), 0x030001u);
    // Only an affinity byte: kept as it is. Other bits: the new value with the old affinity byte.
    EXPECT_EQ(KeepAffinity::OnExists(0x010000, 0x2), 0x010000u);
    EXPECT_EQ(KeepAffinity::OnExists(0x010001, 0x020002), 0x010002u);
}

TEST(PathCache, WriteProtectedTrieRefusesInsertions) {
    Trie trie;
    Put(trie, "/a");
    trie.SetWriteProtected(true);
    EXPECT_TRUE(trie.IsWriteProtected());
    CKoError e = trie.Insert("/b", 1);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_WRITE_PROTECT));
    EXPECT_EQ(e.GetMessage(), "Container is write-protected");
    NodePtr node;
    EPathCacheResult result;
    EXPECT_TRUE(FXErrorUtil::IsWin32(trie.SearchOrInsert("/c", node, result), ZyWin32::ERROR_WRITE_PROTECT));
    EXPECT_TRUE(FXErrorUtil::IsWin32(trie.Insert("", 1), ZyWin32::ERROR_WRITE_PROTECT));
    EXPECT_EQ(trie.GetRoot()->GetChildren().size(), 1u);
    EXPECT_FALSE(trie.GetRoot()->IsContentPresent());
    trie.Initialize();
    EXPECT_FALSE(trie.IsWriteProtected());
    EXPECT_TRUE(trie.GetRoot()->GetChildren().empty());
}

struct AllocationFault {
    explicit AllocationFault(long n) { CPathCacheAllocationHook::FailAllocationAfter(n); }
    ~AllocationFault() { CPathCacheAllocationHook::FailAllocationAfter(-1); }
};

TEST(PathCache, FailedAllocationLeavesNoEmptyEntry) {
    // Fail each allocation of an insertion in turn: the node or one of the child blocks.
    for (long failAt = 0; failAt < 8; ++failAt) {
        Trie trie;
        Put(trie, "/a/x");
        CKoError e;
        {
            AllocationFault fault(failAt);
            e = trie.Insert("/a/b/c", 7);
        }
        if (e.IsSuccess()) {
            EXPECT_GE(failAt, 4);  // two nodes and two child blocks: four allocations
            continue;
        }
        EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_OUTOFMEMORY)) << failAt;
        // Every entry has a node, nodes made before the failure stay without content.
        std::vector<std::string> seen;
        CPathCacheOrderedTNodeIterator<uint32_t> it("", trie.GetRoot(), '/', true);
        for (; it.GetNode(); ++it) seen.push_back(it.GetName());
        if (failAt < 2)
            EXPECT_EQ(seen, (std::vector<std::string>{"", "/a", "/a/x"})) << failAt;
        else
            EXPECT_EQ(seen, (std::vector<std::string>{"", "/a", "/a/b", "/a/x"})) << failAt;
        NodePtr node;
        EXPECT_EQ(trie.Search("/a/b", node), R::NOT_FOUND);
        // The same insertion works once memory is back.
        Put(trie, "/a/b/c", 7);
        EXPECT_EQ(trie.Search("/a/b/c", node), R::FOUND_EXACT);
    }
}

TEST(PathCache, FailedBlockSplitKeepsTheFolderIntact) {
    Trie trie;
    std::vector<std::string> names;
    for (int i = 0; i < 64; ++i) names.push_back("n" + std::to_string(1000 + i * 2));
    for (const auto& n : names) Put(trie, "/d/" + n);
    // The 65th child needs its node, a new leaf and a new root block.
    for (long failAt = 0; failAt < 3; ++failAt) {
        AllocationFault fault(failAt);
        EXPECT_TRUE(FXErrorUtil::IsWin32(trie.Insert("/d/n1001", 1), ZyWin32::ERROR_OUTOFMEMORY));
    }
    const NodePtr& d = *trie.GetRoot()->FindChild("d");
    EXPECT_EQ(d->GetChildren().size(), 64u);
    std::vector<std::string> seen;
    for (const auto& [name, node] : d->GetChildren()) seen.emplace_back(name);
    EXPECT_EQ(seen, names);
    Put(trie, "/d/n1001");
    EXPECT_EQ(d->GetChildren().size(), 65u);
}

TEST(PathCache, NodeIteratorOrderAndSkipping) {
    Trie trie;
    for (const char* p : {"/usr/bin/ls", "/usr/lib", "/etc"}) Put(trie, p);
    std::vector<std::string> seen;
    for (Trie::NodeIterator it("", trie.GetRoot(), trie.GetDelimiter(), trie.IsExposeRoot()); it.GetNode(); ++it)
        seen.push_back(it.GetName() + "@" + std::to_string(it.Depth()));
    EXPECT_EQ(seen, (std::vector<std::string>{"@1", "/etc@2", "/usr@2", "/usr/bin@3", "/usr/bin/ls@4", "/usr/lib@3"}));

    seen.clear();
    Trie::NodeIterator it("", trie.GetRoot(), '/', true);
    for (; it.GetNode(); ++it) {
        seen.push_back(it.GetName());
        if (it.GetName() == "/usr/bin") it.SkipOverChildren();
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"", "/etc", "/usr", "/usr/bin", "/usr/lib"}));
    EXPECT_EQ(it.GetName(), "");
    EXPECT_EQ(it.Depth(), 0);

    Trie hidden;
    hidden.SetExposeRoot(false);
    Put(hidden, "/usr/bin");
    seen.clear();
    for (Trie::NodeIterator i("", hidden.GetRoot(), '/', hidden.IsExposeRoot()); i.GetNode(); ++i) seen.push_back(i.GetName());
    EXPECT_EQ(seen, (std::vector<std::string>{"/usr", "/usr/bin"}));
}

TEST(PathCache, BothSlashesAndOtherDelimiters) {
    Trie trie;
    trie.SetBothSlashes(true);
    Put(trie, "\\a/b\\c");
    NodePtr node;
    EXPECT_EQ(trie.Search("/a/b/c", node), R::FOUND_EXACT);
    EXPECT_TRUE(trie.IsDelimiter('\\'));

    Trie backslash;
    backslash.SetDelimiter('\\');
    Put(backslash, "a\\b/c");
    EXPECT_EQ(backslash.Search("a\\b/c", node), R::FOUND_EXACT);
    EXPECT_EQ(node->GetName(), "b/c");
    EXPECT_FALSE(backslash.IsDelimiter('/'));

    const char* path = "//ab/c";
    const char* pos = path;
    const char* delimiter = trie.FindDelimiter(pos, path);
    EXPECT_EQ(pos, path + 2);
    EXPECT_EQ(delimiter, path + 4);
}

TEST(PathCache, DiagnosticDumpAndMemoryEstimate) {
    Trie trie;
    Put(trie, "/a/b", 2);
    Put(trie, "/a/a-rather-long-name", 3);
    CStringLineWriter writer;
    trie.DumpDiagnosticData(&writer, "DC");
    EXPECT_EQ(writer.Lines(), (std::vector<std::string>{"DC: |-- /", "DC: |--|-- a", "DC: |==|==|== a-rather-long-name    3",
                                                        "DC: |==|==|== b    2", "DC 3 items"}));
    trie.DumpDiagnosticData(nullptr, "DC");  // nothing to write to

    // Four nodes, three links: names "a", "b" count 15 each, the 18-byte name counts 18.
    EXPECT_EQ(trie.GetMemoryUsed(), 4u * 80 + (15 + 32) * 2 + (18 + 32));
}

TEST(PathCache, DumpToLogFollowsTheLogLevel) {
    CPathCacheUnorderedT<int> trie;
    ASSERT_TRUE(trie.Insert("/x", 1).IsSuccess());
    struct Capture : CLogWriterInterface {
        int level;
        std::vector<std::string> lines;
        int GetLevel() const override { return level; }
        void VWriteLine(int, const char*, int, int, int, const char* format, va_list args) override {
            lines.push_back(ZyVFormat(format, args));
        }
    };
    auto capture = std::make_shared<Capture>();
    capture->level = 3;
    auto previous = g_ptrLogWriter;
    g_ptrLogWriter = capture;
    trie.DumpToLog(5, "file:0:");
    EXPECT_TRUE(capture->lines.empty());
    trie.DumpToLog(2, "file:0:", [](const std::string& prefix, const std::string& indentation, const std::string& name,
                                    const CPathCacheUnorderedTNode<int>& node) {
        return prefix + indentation + name + (node.IsContentPresent() ? "*" : "");
    });
    g_ptrLogWriter = previous;
    EXPECT_EQ(capture->lines, (std::vector<std::string>{"file:0:|--/", "file:0:|==|==x*", "file:0: 1 items"}));
}

TEST(PathCache, LargeFoldersStayOrderedInAnyInsertionOrder) {
    std::vector<std::string> names;
    for (int i = 0; i < 20000; ++i) names.push_back("f" + std::to_string(i));
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    std::vector<std::vector<std::string>> orders{sorted, std::vector<std::string>(sorted.rbegin(), sorted.rend()), names};
    std::shuffle(orders[2].begin(), orders[2].end(), std::mt19937(3));
    for (const auto& order : orders) {
        Trie trie;
        for (const auto& n : order) Put(trie, "/big/" + n);
        const NodePtr& big = *trie.GetRoot()->FindChild("big");
        ASSERT_EQ(big->GetChildren().size(), sorted.size());
        std::vector<std::string> seen;
        for (auto it = big->GetChildren().begin(); it != big->GetChildren().end(); ++it) seen.emplace_back(it->first);
        EXPECT_EQ(seen, sorted);
        for (const auto& n : sorted) ASSERT_NE(big->FindChild(n), nullptr) << n;
        EXPECT_EQ(big->FindChild("f"), nullptr);
        EXPECT_EQ(big->GetChildren().upper_bound("f9999"), big->GetChildren().end());
        EXPECT_EQ(big->GetChildren().upper_bound("f9998")->first, "f9999");
        EXPECT_EQ(big->GetChildren().lower_bound("f9998")->first, "f9998");
        EXPECT_EQ(big->GetChildren().lower_bound("f99985")->first, "f9999");
    }
}

TEST(PathCache, WalkSurvivesInsertionsIntoTheFolderItVisits) {
    struct Grower : CPathCacheOrderedTWalkCallback<uint32_t> {
        Trie* trie;
        std::vector<std::string> paths;
        bool OnNode(const std::string& path, const std::string&, int, BPathCacheNodeFlags, const uint32_t&) override {
            paths.push_back(path);
            // Each visit adds siblings before and after the current one (forcing block moves).
            if (path.rfind("/d/", 0) == 0 && paths.size() < 200)
                for (int i = 0; i < 3; ++i) {
                    trie->Insert(path + "x" + std::to_string(i), 1).IgnoreError();
                    trie->Insert("/d/0" + std::to_string(paths.size()) + "-" + std::to_string(i), 1).IgnoreError();
                }
            return true;
        }
    };
    Trie trie;
    Put(trie, "/d/m");
    Grower g;
    g.trie = &trie;
    trie.Walk(g);
    // Every path visited once, in increasing order within /d.
    std::vector<std::string> inD(g.paths.begin() + 2, g.paths.end());
    EXPECT_TRUE(std::is_sorted(inD.begin(), inD.end()));
    EXPECT_EQ(std::set<std::string>(inD.begin(), inD.end()).size(), inD.size());
    EXPECT_GE(inD.size(), 60u);
}

TEST(PathCache, ParentLinksLastAsLongAsTheTrie) {
    NodePtr a, b;
    {
        Trie trie;
        Put(trie, "/a/b");
        a = *trie.GetRoot()->FindChild("a");
        b = *a->FindChild("b");
        EXPECT_EQ(b->GetParent(), a);
        EXPECT_EQ(a->GetParent(), trie.GetRoot());
        EXPECT_FALSE(trie.GetRoot()->GetParent());
        // Initialize() drops the old tree like destruction does.
        trie.Initialize();
        EXPECT_FALSE(a->GetParent());
    }
    EXPECT_FALSE(b->GetParent());  // a is still held here, but no longer in a trie
    EXPECT_EQ(b->GetName(), "b");
}

TEST(PathCache, DeepTreesNeitherOverflowNorLeak) {
    std::string path;
    for (int i = 0; i < 100000; ++i) path += "/d";
    NodePtr deepest;
    {
        Trie trie;
        Put(trie, path, 1);
        NodePtr node;
        EXPECT_EQ(trie.Search(path, node), R::FOUND_EXACT);
        CPathCacheOrderedTWalkCallback<uint32_t> counter;
        EXPECT_EQ(trie.Walk(counter), 100000);
        EXPECT_EQ(trie.GetMemoryUsed(), 100001u * 80 + 100000u * (15 + 32));
        deepest = node;
    }
    // The trie is gone; a node kept by someone outlives it without its parent.
    EXPECT_TRUE(deepest->IsContentPresent());
    EXPECT_FALSE(deepest->GetParent());
}

}  // namespace
