// The generated file-system tree the benchmarks share: folders 3 to 12 levels deep, 10 to 50
// entries per folder, file and folder names of realistic lengths, in scan order (pre-order,
// names sorted). The same seed gives the same tree.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

struct SBenchEntry {
    std::string path;
    bool folder;
};

inline std::string BenchName(std::mt19937& rng, bool folder) {
    static const char* const kStems[] = {"src",    "include", "lib",     "bin",       "doc",    "test",    "data",
                                         "build",  "config",  "images",  "Photos",    "Documents", "cache", "tmp",
                                         "backup", "reports", "project", "release",   "archive", "invoice", "meeting",
                                         "Thumbs", "module",  "package", "resources", "assets", "scripts", "notes"};
    static const char* const kExtensions[] = {".txt", ".cpp", ".h",  ".jpg",  ".png", ".pdf", ".log",  ".json",
                                              ".xml", ".so",  ".py", ".docx", ".gz",  ".dat", ".html", ".csv"};
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    const char* stem = kStems[pick(sizeof kStems / sizeof *kStems)];
    char buffer[96];
    switch (pick(folder ? 3 : 5)) {
        case 0: std::snprintf(buffer, sizeof buffer, "%s", stem); break;
        case 1: std::snprintf(buffer, sizeof buffer, "%s_%d", stem, pick(10000)); break;
        case 2: std::snprintf(buffer, sizeof buffer, "%s-%d.%d.%d", stem, pick(5), pick(20), pick(100)); break;
        case 3: std::snprintf(buffer, sizeof buffer, "IMG_2019%04d_%06d.jpg", pick(1300), pick(1000000)); break;
        default: {
            std::string word;
            for (int i = 3 + pick(10); i > 0; --i) word.push_back(static_cast<char>('a' + pick(26)));
            std::snprintf(buffer, sizeof buffer, "%s%s", word.c_str(), kExtensions[pick(16)]);
        }
    }
    return buffer;
}

// `entries` items below `prefix` (e.g. "" or "/data"): 25 top-level folders, each with a depth
// limit of 3 to 12 and a share of the entries, grown depth first until the share is used.
inline std::vector<SBenchEntry> GenerateBenchTree(size_t entries, const std::string& prefix = std::string(),
                                                  unsigned seed = 20240601) {
    std::mt19937 rng(seed);
    std::vector<SBenchEntry> out;
    out.reserve(entries);
    std::unordered_set<std::string> names, topNames;
    constexpr int kTopFolders = 25;
    for (int top = 0; out.size() < entries; ++top) {
        std::string topName = BenchName(rng, true);
        while (!topNames.insert(topName).second) topName += "_";
        const int maxDepth = std::uniform_int_distribution<int>(3, 12)(rng);
        const size_t budget = out.size() + (entries - out.size()) / std::max(1, kTopFolders - top);
        out.push_back({prefix + "/" + topName, true});
        std::vector<std::pair<std::string, int>> stack{{out.back().path, 1}};
        while (!stack.empty() && out.size() < budget) {
            auto [folder, depth] = std::move(stack.back());
            stack.pop_back();
            names.clear();
            for (int i = std::uniform_int_distribution<int>(10, 50)(rng); i > 0 && out.size() < budget; --i) {
                const bool isFolder = depth + 1 < maxDepth && std::bernoulli_distribution(0.15)(rng);
                std::string name = BenchName(rng, isFolder);
                while (!names.insert(name).second) name += "_";
                out.push_back({folder + "/" + name, isFolder});
                if (isFolder) stack.emplace_back(out.back().path, depth + 1);
            }
        }
    }
    // Pre-order: "/" sorts before every byte of a name.
    std::vector<std::pair<std::string, size_t>> keys;
    keys.reserve(out.size());
    for (size_t i = 0; i < out.size(); ++i) {
        keys.emplace_back(out[i].path, i);
        std::replace(keys.back().first.begin(), keys.back().first.end(), '/', '\x01');
    }
    std::sort(keys.begin(), keys.end());
    std::vector<SBenchEntry> sorted;
    sorted.reserve(out.size());
    for (const auto& k : keys) sorted.push_back(std::move(out[k.second]));
    return sorted;
}

// Makes the tree's folders and (empty) files below `dir`, which exists; aborts on any failure.
inline void WriteBenchTree(const std::string& dir, const std::vector<SBenchEntry>& tree) {
    for (const SBenchEntry& e : tree) {
        const std::string p = dir + e.path;
        if (e.folder) {
            if (::mkdir(p.c_str(), 0755) != 0) std::abort();
        } else {
            const int fd = ::open(p.c_str(), O_CREAT | O_WRONLY | O_EXCL, 0644);
            if (fd < 0) std::abort();
            ::close(fd);
        }
    }
}
