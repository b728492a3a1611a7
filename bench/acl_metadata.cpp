// Security metadata of a whole tree: every item's extended attributes, ACLs and inode flags read
// into network buffers (by folder descriptor and name, as a backup stream does), then applied to
// a copy of the tree that has none.
//
// With BENCH_ACL_TREE and BENCH_ACL_COPY set (bench/acl_vs_cp.sh does), it works on those two
// trees once and prints "read <seconds>" and "apply <seconds>" on standard error. Without them it
// makes a small tree of its own so the benchmark runs anywhere.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_map>
#include <vector>

#include "scan/Unix/ZyFsACL.h"

namespace {

// Every entry of the folder `dirfd`, depth first; `visit(dirfd, name, relativePath)`.
template <class Visit>
void Walk(int dirfd, const std::string& relative, Visit& visit) {
    DIR* dir = ::fdopendir(::dup(dirfd));
    if (!dir) return;
    std::vector<std::pair<std::string, bool>> entries;
    while (dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.' && (!e->d_name[1] || (e->d_name[1] == '.' && !e->d_name[2]))) continue;
        entries.emplace_back(e->d_name, e->d_type == DT_DIR);
    }
    ::closedir(dir);
    for (const auto& [name, isDir] : entries) {
        const std::string path = relative + "/" + name;
        visit(dirfd, name.c_str(), path);
        if (!isDir) continue;
        const int sub = ::openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub < 0) continue;
        Walk(sub, path, visit);
        ::close(sub);
    }
}

using Buffers = std::unordered_map<std::string, std::string>;

double ReadTree(const std::string& tree, Buffers& buffers, size_t& failures) {
    const auto start = std::chrono::steady_clock::now();
    ZyACL::LinuxHelper helper;
    const int root = ::open(tree.c_str(), O_RDONLY | O_DIRECTORY);
    std::string buffer;
    auto visit = [&](int dirfd, const char* name, const std::string& path) {
        if (helper.getAt(dirfd, name, buffer) != 0 && helper.isCritical()) ++failures;
        if (!buffer.empty()) buffers[path] = buffer;
    };
    Walk(root, "", visit);
    ::close(root);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double ApplyTree(const std::string& copy, const Buffers& buffers, size_t& failures) {
    const auto start = std::chrono::steady_clock::now();
    ZyACL::LinuxHelper helper;
    const int root = ::open(copy.c_str(), O_RDONLY | O_DIRECTORY);
    auto visit = [&](int dirfd, const char* name, const std::string& path) {
        auto it = buffers.find(path);
        if (it == buffers.end()) return;
        if (helper.setAt(dirfd, name, it->second) != 0) ++failures;
        if (helper.IsPostSetRequired() && helper.PostSetAt(dirfd, name) != 0) ++failures;
    };
    Walk(root, "", visit);
    ::close(root);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A small tree with an ACL and two attributes on every tenth file, and its bare copy.
void MakeSmallTrees(const std::string& base, int files) {
    for (const char* side : {"/tree", "/copy"}) {
        const std::string root = base + side;
        ::mkdir(root.c_str(), 0755);
        for (int d = 0; d < files / 50; ++d) ::mkdir((root + "/d" + std::to_string(d)).c_str(), 0755);
        for (int i = 0; i < files; ++i) {
            const std::string path = root + "/d" + std::to_string(i % (files / 50)) + "/f" + std::to_string(i);
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
            ::close(fd);
            if (side[1] == 't' && i % 10 == 0) {
                ::setxattr(path.c_str(), "user.one", "value-one", 9, 0);
                ::setxattr(path.c_str(), "user.two", "value-two", 9, 0);
                // user::rw-, user:1234:r--, group::r--, mask::r--, other::r--
                const unsigned char acl[] = {2, 0, 0, 0, 1, 0, 6, 0, 0xff, 0xff, 0xff, 0xff, 2, 0, 4, 0, 0xd2,
                                             4, 0, 0, 4, 0, 4, 0, 0xff, 0xff, 0xff, 0xff, 0x10, 0, 4, 0, 0xff,
                                             0xff, 0xff, 0xff, 0x20, 0, 4, 0, 0xff, 0xff, 0xff, 0xff};
                ::setxattr(path.c_str(), "system.posix_acl_access", acl, sizeof acl, 0);
            }
        }
    }
}

void BM_MetadataReadAndApply(benchmark::State& state) {
    const char* tree = std::getenv("BENCH_ACL_TREE");
    const char* copy = std::getenv("BENCH_ACL_COPY");
    std::string base;
    if (!tree || !copy) {
        char tmpl[] = "/tmp/bench-acl.XXXXXX";
        base = ::mkdtemp(tmpl);
        MakeSmallTrees(base, static_cast<int>(state.range(0)));
    }
    const std::string treePath = tree && copy ? tree : base + "/tree";
    const std::string copyPath = tree && copy ? copy : base + "/copy";
    double readSeconds = 0, applySeconds = 0;
    size_t items = 0, failures = 0;
    for (auto _ : state) {
        Buffers buffers;
        readSeconds = ReadTree(treePath, buffers, failures);
        applySeconds = ApplyTree(copyPath, buffers, failures);
        items = buffers.size();
    }
    state.counters["items_with_metadata"] = static_cast<double>(items);
    state.counters["failures"] = static_cast<double>(failures);
    state.counters["read_s"] = readSeconds;
    state.counters["apply_s"] = applySeconds;
    if (tree && copy) std::fprintf(stderr, "read %.3f\napply %.3f\nfailures %zu\n", readSeconds, applySeconds, failures);
    if (!base.empty()) std::system(("rm -rf '" + base + "'").c_str());
}
BENCHMARK(BM_MetadataReadAndApply)->Arg(5000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The network buffer alone: parse and write back one item's records.
void BM_NetworkBufferRoundTrip(benchmark::State& state) {
    ZyACL::LinuxHelper helper;
    std::string entries;
    ZyACL::AppendXattrEntry(entries, "user.one", "value-one");
    ZyACL::AppendXattrEntry(entries, "user.two", "value-two");
    ZyACL::AppendXattrEntry(entries, "system.posix_acl_access", std::string(44, 'a'));
    helper.addRecord(ZyACL::RECORD_XATTR, 0, 1, static_cast<uint32_t>(entries.size()))
        .setData(entries.data(), entries.size());
    const uint64_t flags = 0;
    helper.addRecord(ZyACL::RECORD_INODE_FLAGS, 0, 1, 8).setData(&flags, 8);
    std::string buffer;
    helper.toNetworkBuffer(buffer);
    std::string out;
    for (auto _ : state) {
        helper.fromNetworkBuffer(buffer.data(), buffer.size(), ZyACL::FLAG_NEW_LAYOUT);
        helper.toNetworkBuffer(out);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_NetworkBufferRoundTrip);

}  // namespace
