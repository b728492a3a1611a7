#include "support/CrashEnv.h"

#include <cerrno>

namespace testsupport {

namespace {

CKoError CrashError(const FXCodeLocation& here, const std::string& what) {
    return FXErrorUtil::ErrorErrNo(here, EIO, "crashed before: %s", what.c_str());
}

// Appends, syncs and truncations of a file count as changes too.
class CrashWritableFile : public FXWritableFile {
public:
    CrashWritableFile(CrashEnv& env, std::unique_ptr<FXWritableFile> file, std::string path)
        : m_env(env), m_file(std::move(file)), m_path(std::move(path)) {}
    CKoError Append(std::string_view data) override {
        if (!m_env.Allow("append " + m_path)) return CrashError(ZY_HERE, m_path);
        return m_file->Append(data);
    }
    CKoError Sync() override {
        if (!m_env.Allow("sync " + m_path)) return CrashError(ZY_HERE, m_path);
        return m_env.SkipsSyncs() ? CKoError::Success() : m_file->Sync();
    }
    CKoError Close() override { return m_file->Close(); }
    CKoError Truncate(uint64_t size) override {
        if (!m_env.Allow("truncate " + m_path)) return CrashError(ZY_HERE, m_path);
        return m_file->Truncate(size);
    }
    uint64_t Size() const override { return m_file->Size(); }

private:
    CrashEnv& m_env;
    std::unique_ptr<FXWritableFile> m_file;
    std::string m_path;
};

}  // namespace

bool CrashEnv::Allow(const std::string& what) {
    ++m_changes;
    if (m_limit >= 0 && m_changes > m_limit) return false;
    m_log.push_back(what);
    return true;
}

CKoError CrashEnv::NewWritableFile(const std::string& path, EWriteMode mode, std::unique_ptr<FXWritableFile>& out,
                                   const FXOpenOptions& options) {
    if (!Allow("create " + path)) return CrashError(ZY_HERE, path);
    std::unique_ptr<FXWritableFile> file;
    CKoError e = FXEnvWrapper::NewWritableFile(path, mode, file, options);
    if (e.IsError()) return e;
    out = std::make_unique<CrashWritableFile>(*this, std::move(file), path);
    return CKoError::Success();
}

CKoError CrashEnv::NewRandomRWFile(const std::string& path, bool create, std::unique_ptr<FXRandomRWFile>& out,
                                   const FXOpenOptions& options) {
    if (!Allow("open for writing " + path)) return CrashError(ZY_HERE, path);
    return FXEnvWrapper::NewRandomRWFile(path, create, out, options);
}

CKoError CrashEnv::RenameFile(const std::string& from, const std::string& to) {
    if (!Allow("rename " + from + " -> " + to)) return CrashError(ZY_HERE, from);
    return FXEnvWrapper::RenameFile(from, to);
}

CKoError CrashEnv::RemoveFile(const std::string& path) {
    if (!Allow("remove " + path)) return CrashError(ZY_HERE, path);
    return FXEnvWrapper::RemoveFile(path);
}

CKoError CrashEnv::CreateDir(const std::string& path, mode_t mode) {
    if (!Allow("mkdir " + path)) return CrashError(ZY_HERE, path);
    return FXEnvWrapper::CreateDir(path, mode);
}

CKoError CrashEnv::RemoveDir(const std::string& path) {
    if (!Allow("rmdir " + path)) return CrashError(ZY_HERE, path);
    return FXEnvWrapper::RemoveDir(path);
}

CKoError CrashEnv::SyncDir(const std::string& path) {
    if (!Allow("syncdir " + path)) return CrashError(ZY_HERE, path);
    return m_skipSyncs ? CKoError::Success() : FXEnvWrapper::SyncDir(path);
}

}  // namespace testsupport
