// Deterministic filter rules for the generated tree (bench/BenchTree.h): about 45% plain paths
// (half real files of the tree, half missing names below real folders, so the trie is followed
// along real paths), 15% wildcards below real folders, 35% name patterns at any depth (by suffix,
// by prefix, a few with neither) and 5% exceptions. Anchored patterns start with `prefix` (where
// the tree lies, already escaped as a literal).
#pragma once

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "BenchTree.h"

inline std::vector<std::string> BenchRulePatterns(const std::vector<SBenchEntry>& tree, size_t count,
                                                  const std::string& prefix, std::vector<bool>& exception) {
    std::mt19937 rng(static_cast<unsigned>(count) * 7919u + 1);
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    auto word = [&](int len) {
        std::string w;
        for (int i = 0; i < len; ++i) w.push_back(static_cast<char>('a' + pick(26)));
        return w;
    };
    auto folderBelowTop = [&]() {
        for (;;) {
            const SBenchEntry& e = tree[pick(tree.size())];
            if (e.folder && std::count(e.path.begin(), e.path.end(), '/') >= 2) return prefix + e.path;
        }
    };
    std::vector<std::string> out;
    exception.clear();
    for (size_t i = 0; i < count; ++i) {
        const size_t kind = pick(100);
        bool isException = false;
        std::string p;
        if (kind < 22) {  // a real file of the tree
            for (;;) {
                const SBenchEntry& e = tree[pick(tree.size())];
                if (!e.folder) {
                    p = prefix + e.path;
                    break;
                }
            }
        } else if (kind < 45) {  // a missing name below a real folder
            p = folderBelowTop() + "/" + word(8);
        } else if (kind < 52) {
            p = folderBelowTop() + "/*." + word(3);
        } else if (kind < 60) {
            p = folderBelowTop() + "/**/" + word(6) + "*";
        } else if (kind < 80) {
            p = "*." + word(2 + static_cast<int>(pick(4)));
        } else if (kind < 93) {
            p = word(3 + static_cast<int>(pick(4))) + "_*";
        } else if (kind < 95) {
            p = "*" + word(5) + "*";
        } else {
            isException = true;
            p = pick(2) ? folderBelowTop() + "/" + word(6) : "*." + word(4);
        }
        out.push_back(std::move(p));
        exception.push_back(isException);
    }
    return out;
}
