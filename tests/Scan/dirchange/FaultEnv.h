// A file-system seam for the DirChange tests that fails writes on demand, like a full disk would,
// and counts the files opened for reading.
#pragma once

#include <cerrno>
#include <memory>
#include <string>

#include "core/Env.h"

namespace dirchangetest {

class CFaultEnv : public FXEnvWrapper {
public:
    CFaultEnv() : FXEnvWrapper(FXEnv::Default()) {}

    // Writes to files whose path holds `pathPart` fail with ENOSPC once `bytes` more bytes were
    // written (part of the failing write lands, as on a real full disk).
    void FailWritesAfter(const std::string& pathPart, long long bytes) {
        m_pathPart = pathPart;
        m_budget = bytes;
    }
    void StopFailing() { m_budget = -1; }
    int ReadOpens() const { return m_readOpens; }

    CKoError NewWritableFile(const std::string& path, EWriteMode mode, std::unique_ptr<FXWritableFile>& out,
                             const FXOpenOptions& options = FXOpenOptions()) override {
        CKoError e = FXEnvWrapper::NewWritableFile(path, mode, out, options);
        if (e.IsSuccess() && Watched(path)) out = std::make_unique<Writable>(std::move(out), this, path);
        return e;
    }
    CKoError NewRandomRWFile(const std::string& path, bool create, std::unique_ptr<FXRandomRWFile>& out,
                             const FXOpenOptions& options = FXOpenOptions()) override {
        CKoError e = FXEnvWrapper::NewRandomRWFile(path, create, out, options);
        if (e.IsSuccess() && Watched(path)) out = std::make_unique<ReadWrite>(std::move(out), this, path);
        return e;
    }
    CKoError NewRandomAccessFile(const std::string& path, std::unique_ptr<FXRandomAccessFile>& out,
                                 const FXOpenOptions& options = FXOpenOptions()) override {
        ++m_readOpens;
        return FXEnvWrapper::NewRandomAccessFile(path, out, options);
    }

private:
    bool Watched(const std::string& path) const { return !m_pathPart.empty() && path.find(m_pathPart) != std::string::npos; }
    // How much of a write of `n` bytes lands; false when the write fails.
    bool Take(size_t n, size_t& lands) {
        lands = n;
        if (m_budget < 0) return true;
        if (static_cast<long long>(n) <= m_budget) {
            m_budget -= static_cast<long long>(n);
            return true;
        }
        lands = static_cast<size_t>(m_budget);
        m_budget = 0;
        return false;
    }

    class Writable : public FXWritableFile {
    public:
        Writable(std::unique_ptr<FXWritableFile> f, CFaultEnv* env, std::string path)
            : m_f(std::move(f)), m_env(env), m_path(std::move(path)) {}
        CKoError Append(std::string_view data) override {
            size_t lands = 0;
            const bool ok = m_env->Take(data.size(), lands);
            if (lands) m_f->Append(data.substr(0, lands)).IgnoreError();
            if (!ok) return FXErrorUtil::ErrorErrNo(ZY_HERE, ENOSPC, "write failed, FileName=[%s]", m_path.c_str());
            return CKoError::Success();
        }
        CKoError Sync() override { return m_f->Sync(); }
        CKoError Close() override { return m_f->Close(); }
        CKoError Truncate(uint64_t size) override { return m_f->Truncate(size); }
        uint64_t Size() const override { return m_f->Size(); }

    private:
        std::unique_ptr<FXWritableFile> m_f;
        CFaultEnv* m_env;
        std::string m_path;
    };

    class ReadWrite : public FXRandomRWFile {
    public:
        ReadWrite(std::unique_ptr<FXRandomRWFile> f, CFaultEnv* env, std::string path)
            : m_f(std::move(f)), m_env(env), m_path(std::move(path)) {}
        CKoError Read(uint64_t offset, char* buffer, size_t n, size_t& got) const override {
            return m_f->Read(offset, buffer, n, got);
        }
        CKoError Write(uint64_t offset, std::string_view data) override {
            size_t lands = 0;
            const bool ok = m_env->Take(data.size(), lands);
            if (lands) m_f->Write(offset, data.substr(0, lands)).IgnoreError();
            if (!ok) return FXErrorUtil::ErrorErrNo(ZY_HERE, ENOSPC, "write failed, FileName=[%s]", m_path.c_str());
            return CKoError::Success();
        }
        CKoError Truncate(uint64_t size) override { return m_f->Truncate(size); }
        CKoError Size(uint64_t& size) const override { return m_f->Size(size); }
        CKoError Sync() override { return m_f->Sync(); }
        CKoError Close() override { return m_f->Close(); }

    private:
        std::unique_ptr<FXRandomRWFile> m_f;
        CFaultEnv* m_env;
        std::string m_path;
    };

    std::string m_pathPart;
    long long m_budget = -1;
    int m_readOpens = 0;
};

}  // namespace dirchangetest
