// Random file-system trees for tests that compare walks: folders several levels deep, files,
// symbolic links (never to be followed) and names with bytes that collect lines escape (line
// feeds, "|", "%", bytes above 0x7F, a leading "??d"). Every time is set explicitly, so a test can
// tell changed items from old ones without waiting for the clock.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>

namespace testsupport {

struct STreeEntry {
    char type = 'f';  // 'd' folder, 'f' file, 'l' symbolic link
    int64_t mtime = 0;  // seconds
};
// Full path -> entry; the root is included.
using TreeSnapshot = std::map<std::string, STreeEntry>;

// Fills the existing folder `root` with about `items` entries, every one with modification time
// `mtime`.
void MakeRandomTree(const std::string& root, std::mt19937& rng, int items, int64_t mtime);
// What is below `root` now (lstat, no link followed).
TreeSnapshot SnapshotTree(const std::string& root);
// `changes` random changes: files rewritten (modification time `mtime`), files and folders
// removed, new files and folders (time `mtime`), folders renamed. Nothing at or below `keepOut`
// (when not empty) is touched.
void ChangeTreeRandomly(const std::string& root, std::mt19937& rng, int changes, int64_t mtime,
                        const std::string& keepOut = std::string());
// rm -rf without a shell, for any byte in a name.
void RemoveTreeAt(const std::string& path);
// Sets the modification (and access) time without following a link.
void SetTime(const std::string& path, int64_t mtime);

}  // namespace testsupport
