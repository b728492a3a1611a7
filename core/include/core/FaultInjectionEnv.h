// An environment for tests that fails file operations on purpose, without root and without a
// special file system: the N-th operation of a kind fails with a chosen errno, every operation is
// counted by kind, and a crash can be simulated. After the crash point every operation fails;
// DropUnsyncedData() then leaves the files as a machine that lost power would find them: each
// file cut back to what was last synced, and creations, renames and removals undone in folders
// that were not synced since.
//
// The crash model follows the usual one of fault-injecting file systems: data reaches the disk on
// a file's Sync, a folder's entries on the folder's SyncDir, and nothing else is durable. Its
// limits: a truncation counts as durable at once (the cut data is gone either way), a rewrite of
// bytes that were synced before is not undone, and a rename between two folders needs both synced.
// Saved copies of replaced and removed files are held in memory: meant for small test trees.
//
// Thread-safe: the backup's reader threads share one environment.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/Env.h"

enum class EFaultOp : int {
    Open,      // NewSequentialFile, NewRandomAccessFile, NewWritableFile, NewRandomRWFile
    Read,      // reads and skips
    Write,     // appends and positional writes
    Sync,      // a file's Sync
    Close,     // a file's Close
    Truncate,  // a file's Truncate
    Rename,
    Remove,    // RemoveFile and RemoveDir
    MkDir,     // CreateDir
    SyncDir,
    List,      // GetChildren
    Stat,      // Stat, and the Size of an open file
    Lock,      // LockFile
    Any,       // every kind: as a fault, the N-th operation whatever it is; as a count, all of them
};
constexpr int kFaultOpKinds = static_cast<int>(EFaultOp::Any);
const char* AsString(EFaultOp kind);

class FXFaultInjectionEnv : public FXEnvWrapper {
public:
    explicit FXFaultInjectionEnv(FXEnv* target = FXEnv::Default());
    ~FXFaultInjectionEnv() override;

    // Fails the `nth` operation of `kind` from now on (1 is the next one) with errno `err`; with
    // `sticky` every later one of that kind fails too (a disk that stays full). With `torn`, a
    // failing write of more than one byte first lands the first half of its data, as a write that
    // runs out of space does. Faults add up; ClearFaults removes them.
    void FailNth(EFaultOp kind, uint64_t nth, int err, bool sticky = false, bool torn = false);
    void ClearFaults();
    // How many failures were injected (crash failures included).
    uint64_t Injected() const;

    // Operations asked of this environment since it was made (or ResetCounts), failed ones
    // included; EFaultOp::Any gives the total.
    uint64_t Count(EFaultOp kind) const;
    std::array<uint64_t, kFaultOpKinds> Counts() const;
    void ResetCounts();

    // The machine stops after `n` more operations: from the (n+1)-th on every operation fails
    // with EIO, until DropUnsyncedData.
    void CrashAfter(uint64_t n);
    void Crash() { CrashAfter(0); }
    bool HasCrashed() const;
    // What a restart finds (see above). Faults are cleared and the environment works again; files
    // opened before stay failing. Reports the first error of putting the files back.
    CKoError DropUnsyncedData();

    // With false, file and folder syncs are counted and recorded for DropUnsyncedData but not
    // passed on: a sweep of thousands of runs needs the crash model, not the disk's durability.
    void SetSyncsReachTheDisk(bool reach);

    CKoError NewSequentialFile(const std::string& path, std::unique_ptr<FXSequentialFile>& out,
                               const FXOpenOptions& options = FXOpenOptions()) override;
    CKoError NewRandomAccessFile(const std::string& path, std::unique_ptr<FXRandomAccessFile>& out,
                                 const FXOpenOptions& options = FXOpenOptions()) override;
    CKoError NewWritableFile(const std::string& path, EWriteMode mode, std::unique_ptr<FXWritableFile>& out,
                             const FXOpenOptions& options = FXOpenOptions()) override;
    CKoError NewRandomRWFile(const std::string& path, bool create, std::unique_ptr<FXRandomRWFile>& out,
                             const FXOpenOptions& options = FXOpenOptions()) override;
    CKoError RenameFile(const std::string& from, const std::string& to) override;
    CKoError RemoveFile(const std::string& path) override;
    CKoError CreateDir(const std::string& path, mode_t mode = 0755) override;
    CKoError RemoveDir(const std::string& path) override;
    CKoError SyncDir(const std::string& path) override;
    CKoError GetChildren(const std::string& folder, std::vector<std::string>& names) override;
    CKoError Stat(const std::string& path, FXFileStat& st, bool followLinks = false) override;
    CKoError LockFile(const std::string& path, std::unique_ptr<FXFileLock>& out) override;

private:
    struct FileState;
    struct Verdict;
    struct DirOp;
    class SequentialFile;
    class RandomAccessFile;
    class WritableFile;
    class RandomRWFile;

    struct Fault {
        EFaultOp kind;
        uint64_t at;  // the count of `kind` that fails
        int err;
        bool sticky;
        bool torn;
    };
    // Counts the operation and says whether it fails; files pass the epoch they were opened in.
    Verdict Check(EFaultOp kind, uint64_t epoch);
    Verdict Check(EFaultOp kind);
    uint64_t Epoch() const;
    bool SyncsReachTheDisk() const;
    void OnWritten(FileState& state, uint64_t end);
    void OnSynced(FileState& state);
    void OnTruncated(FileState& state, uint64_t size);

    std::shared_ptr<FileState> TrackOpened(const std::string& path, bool existed, bool truncated);
    // The bytes of a regular file a crash would keep (empty for anything else); false when none.
    bool SaveDurableContent(const std::string& path, std::string& content);
    CKoError PutBack(const std::string& path, const std::string& content);
    CKoError RemoveTree(const std::string& path);
    void Journal(DirOp op);

    mutable std::mutex m_mutex;
    std::array<uint64_t, kFaultOpKinds> m_counts{};
    uint64_t m_total = 0;
    uint64_t m_injected = 0;
    std::vector<Fault> m_faults;
    bool m_crashArmed = false;
    uint64_t m_crashAt = 0;  // the total after which everything fails
    bool m_crashed = false;
    bool m_syncsReachTheDisk = true;
    uint64_t m_epoch = 0;  // files opened in an earlier epoch (before a restart) always fail
    std::map<std::string, std::shared_ptr<FileState>> m_files;  // written through this environment
    std::vector<DirOp> m_unsynced;  // folder changes not yet made durable, oldest first
};
