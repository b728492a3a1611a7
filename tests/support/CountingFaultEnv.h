// An environment that counts every operation it forwards (opening, reading, appending, syncing,
// closing, renaming, removing, syncing a folder, stat) and fails the k-th one: once ("a full
// disk"), or that one and every later one ("a crash": nothing after it reaches the disk, so what
// is on disk afterwards is what a crash at that step leaves, unsynced data aside). A sweep over k
// from 1 until a run needs no more operations than k visits every step of an operation.
// Syncs are counted (and can fail) but reach the disk only with SetForwardSyncs(true): a sweep
// runs a job a hundred times, and nothing here checks what survives a power cut.
#pragma once

#include <cerrno>
#include <atomic>
#include <memory>
#include <string>

#include "core/Env.h"

namespace testsupport {

class CCountingFaultEnv : public FXEnvWrapper {
public:
    explicit CCountingFaultEnv(FXEnv* target = FXEnv::Default()) : FXEnvWrapper(target) {}

    // 0: never fail.
    void FailAt(int operation, bool crash) {
        m_failAt = operation;
        m_crash = crash;
        m_count = 0;
        m_failed = false;
    }
    void SetForwardSyncs(bool forward) { m_forwardSyncs = forward; }
    bool ForwardSyncs() const { return m_forwardSyncs; }
    int Operations() const { return m_count; }
    bool Failed() const { return m_failed; }

    // Counts one operation; an error when it is to fail.
    CKoError Tick(const char* what) {
        const int n = ++m_count;
        if (m_failAt > 0 && (n == m_failAt || (m_crash && n > m_failAt))) {
            m_failed = true;
            return FXErrorUtil::ErrorErrNo(ZY_HERE, ENOSPC, "injected fault at operation %d (%s)", n, what);
        }
        return CKoError::Success();
    }

    CKoError NewSequentialFile(const std::string& path, std::unique_ptr<FXSequentialFile>& out,
                               const FXOpenOptions& options = FXOpenOptions()) override {
        CKoError e = Tick("open for reading");
        if (e.IsSuccess()) e = FXEnvWrapper::NewSequentialFile(path, out, options);
        if (e.IsSuccess()) out = std::make_unique<Sequential>(*this, std::move(out));
        return e;
    }
    CKoError NewWritableFile(const std::string& path, EWriteMode mode, std::unique_ptr<FXWritableFile>& out,
                             const FXOpenOptions& options = FXOpenOptions()) override {
        CKoError e = Tick("open for writing");
        if (e.IsSuccess()) e = FXEnvWrapper::NewWritableFile(path, mode, out, options);
        if (e.IsSuccess()) out = std::make_unique<Writable>(*this, std::move(out));
        return e;
    }
    CKoError RenameFile(const std::string& from, const std::string& to) override {
        CKoError e = Tick("rename");
        return e.IsSuccess() ? FXEnvWrapper::RenameFile(from, to) : e;
    }
    CKoError RemoveFile(const std::string& path) override {
        CKoError e = Tick("remove");
        return e.IsSuccess() ? FXEnvWrapper::RemoveFile(path) : e;
    }
    CKoError CreateDir(const std::string& path, mode_t mode = 0755) override {
        CKoError e = Tick("mkdir");
        return e.IsSuccess() ? FXEnvWrapper::CreateDir(path, mode) : e;
    }
    CKoError RemoveDir(const std::string& path) override {
        CKoError e = Tick("rmdir");
        return e.IsSuccess() ? FXEnvWrapper::RemoveDir(path) : e;
    }
    CKoError SyncDir(const std::string& path) override {
        CKoError e = Tick("sync folder");
        return e.IsSuccess() && m_forwardSyncs ? FXEnvWrapper::SyncDir(path) : e;
    }
    CKoError Stat(const std::string& path, FXFileStat& st, bool followLinks = false) override {
        CKoError e = Tick("stat");
        return e.IsSuccess() ? FXEnvWrapper::Stat(path, st, followLinks) : e;
    }

private:
    class Sequential : public FXSequentialFile {
    public:
        Sequential(CCountingFaultEnv& env, std::unique_ptr<FXSequentialFile> f) : m_env(env), m_f(std::move(f)) {}
        CKoError Read(char* buffer, size_t n, size_t& got) override {
            CKoError e = m_env.Tick("read");
            return e.IsSuccess() ? m_f->Read(buffer, n, got) : e;
        }
        CKoError Skip(uint64_t n) override { return m_f->Skip(n); }

    private:
        CCountingFaultEnv& m_env;
        std::unique_ptr<FXSequentialFile> m_f;
    };

    class Writable : public FXWritableFile {
    public:
        Writable(CCountingFaultEnv& env, std::unique_ptr<FXWritableFile> f) : m_env(env), m_f(std::move(f)) {}
        CKoError Append(std::string_view data) override {
            CKoError e = m_env.Tick("append");
            return e.IsSuccess() ? m_f->Append(data) : e;
        }
        CKoError Sync() override {
            CKoError e = m_env.Tick("sync");
            return e.IsSuccess() && m_env.ForwardSyncs() ? m_f->Sync() : e;
        }
        CKoError Close() override {
            CKoError e = m_env.Tick("close");
            if (e.IsError()) {
                m_f->Close().IgnoreError();  // the descriptor goes either way
                return e;
            }
            return m_f->Close();
        }
        CKoError Truncate(uint64_t size) override {
            CKoError e = m_env.Tick("truncate");
            return e.IsSuccess() ? m_f->Truncate(size) : e;
        }
        uint64_t Size() const override { return m_f->Size(); }

    private:
        CCountingFaultEnv& m_env;
        std::unique_ptr<FXWritableFile> m_f;
    };

    std::atomic<int> m_count{0};
    int m_failAt = 0;
    bool m_crash = false;
    bool m_failed = false;
    bool m_forwardSyncs = false;
};

}  // namespace testsupport
