// The trie against a plain reference model: a sorted map of component lists, driven by thousands
// of random paths of every shape (leading, doubled and trailing delimiters, empty paths, long
// names, bytes above 0x7F, names that differ only in case).
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "scan/dirchange/FSLRUCache.h"
#include "scan/dirchange/PathCache.h"

namespace {

using Trie = CPathCacheOrderedT<uint32_t>;
using NodePtr = Trie::NodePtr;
using Components = std::vector<std::string>;

// Components of a path as a reader of the grammar sees them: leading delimiters are dropped, a run
// of delimiters separates two names, one trailing delimiter is ignored, a longer trailing run
// leaves an empty last name; a path of nothing but delimiters is the single empty name.
Components Split(const std::string& path) {
    size_t i = 0;
    while (i < path.size() && path[i] == '/') ++i;
    if (i == path.size()) return {""};
    Components out;
    while (i < path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos) j = path.size();
        out.push_back(path.substr(i, j - i));
        size_t k = j;
        while (k < path.size() && path[k] == '/') ++k;
        if (k == path.size()) {
            if (k - j >= 2) out.push_back("");
            break;
        }
        i = k;
    }
    return out;
}

struct Model {
    std::set<Components> nodes{Components{}};  // the root is the empty list
    std::map<Components, uint32_t> content;

    void Insert(const std::string& path, uint32_t value) {
        Components c = (path.empty() || path == "/") ? Components{} : Split(path);
        for (size_t n = 1; n <= c.size(); ++n) nodes.insert(Components(c.begin(), c.begin() + n));
        content.emplace(c, value);  // keeps existing data
    }
    bool Has(const Components& c) const { return content.count(c) != 0; }

    // The search rules, stated over the model: answers the result and the named node.
    EPathCacheResult Search(const std::string& path, Components& named) const {
        Components c = Split(path);
        Components current, nearest;
        for (size_t i = 0; i < c.size(); ++i) {
            const bool last = i + 1 == c.size();
            Components child = current;
            child.push_back(c[i]);
            const bool exists = nodes.count(child) != 0;
            if (exists && !last) {
                current = child;
                if (Has(child)) nearest = child;
                continue;
            }
            if (exists && Has(child)) return named = child, EPathCacheResult::FOUND_EXACT;
            if (!exists && last && current.empty() && c[i].empty() && Has({}))
                return named = {}, EPathCacheResult::FOUND_EXACT;
            if (Has(current))
                return named = current, last ? EPathCacheResult::FOUND_PARENT : EPathCacheResult::FOUND_ANCESTOR;
            if (Has(nearest)) return named = nearest, EPathCacheResult::FOUND_ANCESTOR;
            return EPathCacheResult::NOT_FOUND;
        }
        return EPathCacheResult::NOT_FOUND;
    }
};

Components ComponentsOf(NodePtr node) {
    Components out;
    for (; node && node->GetParent(); node = node->GetParent()) out.insert(out.begin(), std::string(node->GetName()));
    return out;
}

std::string RandomPath(std::mt19937& rng) {
    static const std::vector<std::string> names = {
        "a", "b", "B", "ab", "a b", "x.txt", "\xC3\xA9t\xC3\xA9", "\x7F", "\xFF", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
        std::string(300, 'L'), std::string(25, 'm'), "0", "00", "-"};
    std::uniform_int_distribution<int> shape(0, 99);
    const int depth = std::uniform_int_distribution<int>(0, 5)(rng);
    std::string path;
    if (shape(rng) < 80) path += "/";
    if (shape(rng) < 5) path += "/";
    for (int i = 0; i < depth; ++i) {
        if (i > 0) path += shape(rng) < 10 ? "//" : "/";
        path += names[std::uniform_int_distribution<size_t>(0, names.size() - 1)(rng)];
    }
    const int tail = shape(rng);
    if (tail < 10)
        path += "/";
    else if (tail < 13)
        path += "//";
    return path;
}

TEST(PathCacheModel, RandomPathsAgreeWithTheReference) {
    for (unsigned seed : {1u, 2u, 3u}) {
        std::mt19937 rng(seed);
        Trie trie;
        Model model;
        for (int step = 0; step < 6000; ++step) {
            const std::string path = RandomPath(rng);
            if (std::uniform_int_distribution<int>(0, 3)(rng) == 0) {
                const uint32_t value = static_cast<uint32_t>(step);
                ASSERT_TRUE(trie.Insert(path, value).IsSuccess()) << path;
                model.Insert(path, value);
                continue;
            }
            Components expectedNode;
            const EPathCacheResult expected = model.Search(path, expectedNode);
            NodePtr node;
            ASSERT_EQ(trie.Search(path, node), expected) << "seed " << seed << " path [" << path << "]";
            if (expected != EPathCacheResult::NOT_FOUND) {
                ASSERT_EQ(ComponentsOf(node), expectedNode) << path;
                uint32_t value = 0;
                trie.Search(path, value);
                ASSERT_EQ(value, model.content.at(expectedNode)) << path;
            }
        }
        // Pre-order with names in byte order is the sorted order of the component lists.
        struct Collect : CPathCacheOrderedTWalkCallback<uint32_t> {
            std::vector<std::string> paths;
            bool OnNode(const std::string& path, const std::string&, int, BPathCacheNodeFlags, const uint32_t&) override {
                paths.push_back(path);
                return true;
            }
        } walk;
        EXPECT_EQ(trie.Walk(walk), static_cast<int>(model.nodes.size() - 1));
        std::vector<std::string> expectedPaths;
        for (const Components& c : model.nodes) {
            std::string p;
            for (const auto& n : c) p += "/" + n;
            expectedPaths.push_back(p.empty() ? "/" : p);
        }
        EXPECT_EQ(walk.paths, expectedPaths);
    }
}

TEST(FSLRUCache, EvictsTheLeastRecentlyUsedAfterGrowingOnePastCapacity) {
    int loads = 0;
    std::vector<int> evicted, inserted;
    FSLRUCache<std::string, int> cache(
        [&](const std::string& key, int& value) {
            ++loads;
            if (key == "bad") return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND, "no such key");
            value = static_cast<int>(key.size());
            return CKoError::Success();
        },
        [&](const int& v) { inserted.push_back(v); }, [&](const int& v) { evicted.push_back(v); }, nullptr, 2);
    int value = 0;
    ASSERT_TRUE(cache.Get("a", value).IsSuccess());
    ASSERT_TRUE(cache.Get("bb", value).IsSuccess());
    ASSERT_TRUE(cache.Get("ccc", value).IsSuccess());
    EXPECT_EQ(cache.size(), 3u);
    EXPECT_TRUE(evicted.empty());
    ASSERT_TRUE(cache.Get("a", value).IsSuccess());  // a hit: "a" becomes the most recent
    EXPECT_EQ(loads, 3);
    ASSERT_TRUE(cache.Get("dddd", value).IsSuccess());
    EXPECT_EQ(evicted, (std::vector<int>{2}));  // "bb" was the least recently used
    EXPECT_EQ(value, 4);
    EXPECT_FALSE(cache.Contains("bb"));

    CKoError e = cache.Get("bad", value);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_NOT_FOUND));
    EXPECT_GE(e.GetStack().size(), 2u);
    EXPECT_FALSE(cache.Contains("bad"));

    cache.SetCapacity(1);
    EXPECT_EQ(cache.size(), 1u);
    cache.Clear();
    EXPECT_EQ(evicted.size(), 3u);  // Clear does not call the hook
    EXPECT_TRUE(cache.empty());
}

TEST(FSLRUCache, ExtraTestThatNeverSettlesStopsAtEmpty) {
    size_t files = 0;
    FSLRUCache<int, size_t> cache([](const int& k, size_t& v) { return v = static_cast<size_t>(k), CKoError::Success(); },
                                  [&](const size_t& v) { files += v; }, [&](const size_t& v) { files -= v; },
                                  [](size_t) { return true; }, 100);
    size_t value = 0;
    ASSERT_TRUE(cache.Get(5, value).IsSuccess());
    ASSERT_TRUE(cache.Get(7, value).IsSuccess());
    EXPECT_EQ(cache.size(), 1u);
    EXPECT_EQ(files, 7u);
    cache.SetCapacity(50);
    EXPECT_TRUE(cache.empty());
    EXPECT_EQ(files, 0u);
}

}  // namespace
