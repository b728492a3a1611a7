#include "support/RandomTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

namespace testsupport {

namespace {

std::string RandomName(std::mt19937& rng) {
    static const char* const kOdd[] = {"sp ace", "new\nline", "pipe|x", "pct%41", "\x01" "ctl", "\xe9t\xe9",
                                       "-dash",  "??dname",  "quote'q", "tab\tt", "cr\rx"};
    std::uniform_int_distribution<int> pick(0, 99);
    std::string name;
    if (pick(rng) < 12) name = kOdd[pick(rng) % (sizeof kOdd / sizeof *kOdd)];
    for (int i = 1 + pick(rng) % 8; i > 0; --i) name.push_back(static_cast<char>('a' + pick(rng) % 26));
    return name;
}

void Check(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error(what);
}

void MakeFile(const std::string& path, std::mt19937& rng, int64_t mtime) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644);
    Check(fd >= 0, "create " + path);
    std::string content(std::uniform_int_distribution<int>(0, 64)(rng), 'x');
    Check(::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()), "write " + path);
    ::close(fd);
    SetTime(path, mtime);
}

void Walk(const std::string& path, TreeSnapshot& out) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return;
    STreeEntry e;
    e.type = S_ISDIR(st.st_mode) ? 'd' : S_ISLNK(st.st_mode) ? 'l' : 'f';
    e.mtime = st.st_mtim.tv_sec;
    out[path] = e;
    if (e.type != 'd') return;
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return;  // unreadable: what is below stays unknown
    std::vector<std::string> names;
    while (struct dirent* d = ::readdir(dir)) {
        std::string n = d->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(dir);
    for (const std::string& n : names) Walk(path + "/" + n, out);
}

}  // namespace

void SetTime(const std::string& path, int64_t mtime) {
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(mtime);
    times[0].tv_nsec = times[1].tv_nsec = 0;
    Check(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0, "utimensat " + path);
}

void MakeRandomTree(const std::string& root, std::mt19937& rng, int items, int64_t mtime) {
    std::vector<std::pair<std::string, int>> folders{{root, 0}};
    std::uniform_int_distribution<int> pick(0, 99);
    for (int made = 0; made < items;) {
        const auto [folder, depth] = folders[std::uniform_int_distribution<size_t>(0, folders.size() - 1)(rng)];
        const std::string path = folder + "/" + RandomName(rng);
        struct stat st;
        if (::lstat(path.c_str(), &st) == 0) continue;
        const int kind = pick(rng);
        if (kind < 20 && depth < 8) {
            Check(::mkdir(path.c_str(), 0755) == 0, "mkdir " + path);
            folders.emplace_back(path, depth + 1);
        } else if (kind < 24) {
            Check(::symlink(pick(rng) < 50 ? ".." : "/", path.c_str()) == 0, "symlink " + path);
        } else {
            MakeFile(path, rng, mtime);
        }
        ++made;
    }
    // Folders last: creating entries changed their times.
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) SetTime(it->first, mtime);
    TreeSnapshot all = SnapshotTree(root);
    for (const auto& [path, e] : all)
        if (e.type == 'l') SetTime(path, mtime);
}

TreeSnapshot SnapshotTree(const std::string& root) {
    TreeSnapshot out;
    Walk(root, out);
    return out;
}

void RemoveTreeAt(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        ::chmod(path.c_str(), 0755);
        std::vector<std::string> names;
        if (DIR* dir = ::opendir(path.c_str())) {
            while (struct dirent* d = ::readdir(dir)) {
                std::string n = d->d_name;
                if (n != "." && n != "..") names.push_back(n);
            }
            ::closedir(dir);
        }
        for (const std::string& n : names) RemoveTreeAt(path + "/" + n);
        ::rmdir(path.c_str());
    } else {
        ::unlink(path.c_str());
    }
}

void ChangeTreeRandomly(const std::string& root, std::mt19937& rng, int changes, int64_t mtime,
                        const std::string& keepOut) {
    std::uniform_int_distribution<int> pick(0, 99);
    auto inKeepOut = [&](const std::string& p) {
        return !keepOut.empty() && (p == keepOut || p.compare(0, keepOut.size() + 1, keepOut + "/") == 0);
    };
    auto aboveKeepOut = [&](const std::string& p) {
        return !keepOut.empty() && keepOut.compare(0, p.size() + 1, p + "/") == 0;
    };
    for (int done = 0; done < changes;) {
        TreeSnapshot now = SnapshotTree(root);
        std::vector<std::string> files, folders;
        for (const auto& [p, e] : now) {
            if (p == root || inKeepOut(p)) continue;
            (e.type == 'd' ? folders : files).push_back(p);
        }
        folders.push_back(root);
        auto any = [&](const std::vector<std::string>& v) { return v[std::uniform_int_distribution<size_t>(0, v.size() - 1)(rng)]; };
        const int kind = pick(rng);
        if (kind < 30 && !files.empty()) {
            const std::string f = any(files);
            struct stat st;
            if (::lstat(f.c_str(), &st) == 0 && S_ISREG(st.st_mode)) MakeFile(f, rng, mtime);
        } else if (kind < 45 && !files.empty()) {
            ::unlink(any(files).c_str());
        } else if (kind < 52 && folders.size() > 1) {
            const std::string d = any(folders);
            if (d == root || aboveKeepOut(d)) continue;
            RemoveTreeAt(d);
        } else if (kind < 75) {
            const std::string path = any(folders) + "/" + RandomName(rng);
            struct stat st;
            if (::lstat(path.c_str(), &st) == 0) continue;
            MakeFile(path, rng, mtime);
        } else if (kind < 88) {
            const std::string path = any(folders) + "/" + RandomName(rng);
            struct stat st;
            if (::lstat(path.c_str(), &st) == 0) continue;
            Check(::mkdir(path.c_str(), 0755) == 0, "mkdir " + path);
            for (int i = pick(rng) % 4; i > 0; --i) MakeFile(path + "/" + RandomName(rng), rng, mtime);
        } else if (folders.size() > 1) {
            const std::string d = any(folders);
            if (d == root || aboveKeepOut(d)) continue;
            const std::string to = d.substr(0, d.rfind('/') + 1) + RandomName(rng);
            struct stat st;
            if (::lstat(to.c_str(), &st) == 0) continue;
            Check(::rename(d.c_str(), to.c_str()) == 0, "rename " + d);
        }
        ++done;
    }
}

}  // namespace testsupport
