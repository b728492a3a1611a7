// fsscan jobs with each DirChange kind over the same changing tree: every kind must list the same
// items and deletions, cycle after cycle, and their backups must keep the same mirror. Between
// cycles the tree changes at random (files touched, deleted and renamed, folders deleted, renamed
// and added, one folder unreadable for a cycle).
//
// So that the previous-job questions decide (not the times), each job's recorded start time is
// moved an hour ahead once it is done: only what the test marks as touched (a modification time
// two hours ahead) counts as changed.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "FsScanTestSupport.h"
#include "core/Path.h"
#include "scan/job/JobState.h"
#include "support/TestSupport.h"

using fsscantest::Fsscan;
using fsscantest::List;
using fsscantest::RunResult;
using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

namespace {

const char* const kKinds[] = {"tree", "flat", "segments"};
constexpr long long kHourMicros = 3600ll * 1000000;

long long NowMicros() {
    timespec t{};
    ::clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// Every item below `folder`: relative path ("/"-ended for folders) -> content of files.
void Walk(const std::string& folder, const std::string& rel, std::map<std::string, std::string>& out) {
    DIR* d = ::opendir(folder.c_str());
    if (!d) return;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = folder + "/" + name;
        struct stat st{};
        if (::lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            out[rel + name + "/"] = "";
            Walk(path, rel + name + "/", out);
        } else {
            out[rel + name] = ReadFile(path);
        }
    }
    ::closedir(d);
}

std::map<std::string, std::string> Items(const std::string& folder) {
    std::map<std::string, std::string> items;
    Walk(folder, "", items);
    return items;
}

void Touch(const std::string& path) {
    WriteFile(path, "touched " + path);
    timespec ahead[2];
    ahead[0].tv_sec = ahead[1].tv_sec = static_cast<time_t>((NowMicros() + 2 * kHourMicros) / 1000000);
    ahead[0].tv_nsec = ahead[1].tv_nsec = 0;
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), ahead, 0), 0) << path;
}

class Tree {
public:
    Tree(std::string root, unsigned seed) : m_root(std::move(root)), m_rng(seed) { ::mkdir(m_root.c_str(), 0755); }

    std::vector<std::string> Folders() const {
        std::vector<std::string> out{""};
        for (const auto& [rel, content] : Items(m_root))
            if (rel.back() == '/') out.push_back(rel.substr(0, rel.size() - 1));
        return out;
    }
    std::vector<std::string> Files() const {
        std::vector<std::string> out;
        for (const auto& [rel, content] : Items(m_root))
            if (rel.back() != '/') out.push_back(rel);
        return out;
    }
    std::string Abs(const std::string& rel) const { return rel.empty() ? m_root : m_root + "/" + rel; }

    void Grow(int count) {
        static const char* const kNames[] = {"a", "B", "c%d", "x|y", "sp ace", "\xc3\xa4", "a-b", "z.txt"};
        for (int i = 0; i < count; ++i) {
            const std::vector<std::string> folders = Folders();
            const std::string rel = Pick(folders);
            const std::string name = std::string(kNames[m_rng() % 8]) + std::to_string(m_rng() % 40);
            const std::string path = Abs(rel) + "/" + name;
            struct stat st{};
            if (::lstat(path.c_str(), &st) == 0) continue;
            if (m_rng() % 4 == 0)
                ::mkdir(path.c_str(), 0755);
            else
                WriteFile(path, "new " + path);
        }
    }

    // The changes between two cycles. Returns the folder made unreadable (relative), or "".
    std::string Change() {
        std::vector<std::string> files = Files();
        for (int i = 0; i < 5 && !files.empty(); ++i) Touch(Abs(Pick(files)));
        for (int i = 0; i < 4 && !files.empty(); ++i) ::unlink(Abs(Pick(files)).c_str());
        std::vector<std::string> folders = Folders();
        if (folders.size() > 3) Run("rm -rf '" + Abs(folders[1 + m_rng() % (folders.size() - 1)]) + "'");
        folders = Folders();
        if (folders.size() > 2) {
            const std::string from = folders[1 + m_rng() % (folders.size() - 1)];
            ::rename(Abs(from).c_str(), (Abs(from) + "-moved" + std::to_string(m_rng() % 100)).c_str());
        }
        files = Files();
        if (!files.empty()) {
            const std::string from = Abs(Pick(files));
            ::rename(from.c_str(), (from + "-renamed").c_str());
        }
        Grow(12);
        folders = Folders();
        if (folders.size() < 3) return "";
        const std::string locked = folders[1 + m_rng() % (folders.size() - 1)];
        // Changed while it cannot be read: the next job must collect it all again.
        WriteFile(Abs(locked) + "/while-locked", "w");
        ::chmod(Abs(locked).c_str(), 0);
        return locked;
    }

private:
    const std::string& Pick(const std::vector<std::string>& from) { return from[m_rng() % from.size()]; }
    static void Run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

    std::string m_root;
    std::mt19937 m_rng;
};

class DirChangeKindJob : public ::testing::TestWithParam<unsigned> {};

TEST_P(DirChangeKindJob, EveryKindListsTheSameItemsAndKeepsTheSameMirror) {
    ScopedTempDir dir;
    ::chmod(dir.Path().c_str(), 0755);
    Tree tree(dir / "content", GetParam());
    const std::string root = dir / "content";
    tree.Grow(60);
    // What the previous jobs know: what they saw, and what was carried below a folder they could not read.
    std::set<std::string> known;
    std::string locked;
    for (int cycle = 0; cycle < 4; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        if (cycle > 0) {
            if (!locked.empty()) ::chmod(tree.Abs(locked).c_str(), 0755);
            locked = tree.Change();
        }
        const std::map<std::string, std::string> now = Items(root);  // as root: below the locked folder too
        const auto isLocked = [&](const std::string& rel) {
            return !locked.empty() && rel.compare(0, locked.size() + 1, locked + "/") == 0;
        };
        std::set<std::string> first;
        for (const char* kind : kKinds) {
            SCOPED_TRACE(kind);
            const std::string results = dir / (std::string("results-") + kind), dest = dir / (std::string("dest-") + kind);
            RunResult r = Fsscan({"scan", "--content", root, "--results", results, "--dirchange", kind, "--level",
                                  cycle == 0 ? "full" : "incremental"},
                                 true);
            ASSERT_EQ(r.exitCode, locked.empty() ? 0 : 1) << r.err;
            EXPECT_EQ(r.err.find("running a full scan"), std::string::npos) << r.err;
            const std::set<std::string> listed = List(results);
            if (first.empty())
                first = listed;
            else
                EXPECT_EQ(listed, first);
            ASSERT_TRUE(fsscantest::MoveLastScanStartAhead(results, kHourMicros));

            if (cycle > 0) {
                // Deletions: gone for real, and nothing below what could not be read.
                for (const std::string& item : listed) {
                    if (item.compare(0, 2, "- ") != 0) continue;
                    const std::string path = item.substr(2);
                    ASSERT_EQ(path.compare(0, root.size() + 1, root + "/"), 0) << path;
                    EXPECT_EQ(now.count(path.substr(root.size() + 1)), 0u) << path;
                    if (!locked.empty()) {
                        EXPECT_NE(path.compare(0, tree.Abs(locked).size() + 1, tree.Abs(locked) + "/"), 0) << path;
                    }
                }
                // Every item that went is covered by a deletion line (its own or a folder's).
                for (const std::string& rel : known) {
                    if (now.count(rel) || isLocked(rel)) continue;
                    bool covered = false;
                    for (size_t slash = 0; !covered && slash != std::string::npos; slash = rel.find('/', slash + 1))
                        covered = listed.count("- " + root + "/" + rel.substr(0, slash + 1)) != 0;
                    covered = covered || listed.count("- " + root + "/" + rel) != 0;
                    EXPECT_TRUE(covered) << rel;
                }
            }

            RunResult b = Fsscan({"backup", "--results", results, "--dest", dest});
            ASSERT_EQ(b.exitCode, 0) << b.err;
            // The mirror is the tree, except below the folder the scan could not read.
            std::map<std::string, std::string> mirror = Items(dest + root);
            std::map<std::string, std::string> expected = now;
            if (!locked.empty()) {
                const std::string prefix = locked + "/";
                for (auto* m : {&mirror, &expected})
                    for (auto it = m->begin(); it != m->end();)
                        it = it->first.compare(0, prefix.size(), prefix) == 0 ? m->erase(it) : std::next(it);
            }
            EXPECT_EQ(mirror, expected);
        }
        std::set<std::string> next;
        for (const std::string& rel : known)
            if (isLocked(rel)) next.insert(rel);
        for (const auto& [rel, content] : now)
            if (!isLocked(rel)) next.insert(rel);
        known.swap(next);
    }
    if (!locked.empty()) ::chmod(tree.Abs(locked).c_str(), 0755);
}

INSTANTIATE_TEST_SUITE_P(Seeds, DirChangeKindJob, ::testing::Values(1u, 2u));

}  // namespace
