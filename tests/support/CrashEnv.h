// An environment that "crashes" after a given number of changes to the file system: from then
// on every change fails (EIO), as if the process had died there, while reads still work so the
// test can look. Sweeping the crash point over every change of an operation shows what a crash
// at any moment leaves behind.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/Env.h"

namespace testsupport {

class CrashEnv : public FXEnvWrapper {
public:
    explicit CrashEnv(FXEnv* target = FXEnv::Default()) : FXEnvWrapper(target) {}

    // Changes allowed before the crash; negative: never crash.
    void CrashAfter(int changes) {
        m_limit = changes;
        m_changes = 0;
    }
    // Syncs still count as changes but reach no disk: a sweep of many crash points runs fast,
    // and this environment never drops unsynced data anyway.
    void SkipSyncs(bool skip) { m_skipSyncs = skip; }
    bool SkipsSyncs() const { return m_skipSyncs; }
    int Changes() const { return m_changes; }
    bool Crashed() const { return m_limit >= 0 && m_changes > m_limit; }
    // What each change was, in order ("rename a -> b", "remove a", ...).
    const std::vector<std::string>& Log() const { return m_log; }

    // One change: false (and the change must fail) once past the crash point.
    bool Allow(const std::string& what);

    CKoError NewWritableFile(const std::string& path, EWriteMode mode, std::unique_ptr<FXWritableFile>& out,
                             const FXOpenOptions& options = FXOpenOptions()) override;
    CKoError NewRandomRWFile(const std::string& path, bool create, std::unique_ptr<FXRandomRWFile>& out,
                             const FXOpenOptions& options = FXOpenOptions()) override;
    CKoError RenameFile(const std::string& from, const std::string& to) override;
    CKoError RemoveFile(const std::string& path) override;
    CKoError CreateDir(const std::string& path, mode_t mode = 0755) override;
    CKoError RemoveDir(const std::string& path) override;
    CKoError SyncDir(const std::string& path) override;

private:
    int m_limit = -1;
    bool m_skipSyncs = false;
    int m_changes = 0;
    std::vector<std::string> m_log;
};

}  // namespace testsupport
