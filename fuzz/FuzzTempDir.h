// A private folder for a fuzz target's files, made once per process and removed at exit, and an
// environment that keeps every change inside it: a document under test may name any path.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/Env.h"
#include "core/Path.h"

namespace fuzzsupport {

inline const std::string& TempDir() {
    static const std::string dir = [] {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/scanfuzz.XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (!::mkdtemp(buf.data())) std::abort();
        std::string path = buf.data();
        static std::string forExit = path;
        std::atexit([] { std::system(("rm -rf '" + forExit + "'").c_str()); });
        return path;
    }();
    return dir;
}

// Refuses every change outside TempDir().
class ConfinedEnv : public FXEnvWrapper {
public:
    ConfinedEnv() : FXEnvWrapper(FXEnv::Default()) {}
    CKoError NewWritableFile(const std::string& path, EWriteMode mode, std::unique_ptr<FXWritableFile>& out,
                             const FXOpenOptions& options = FXOpenOptions()) override {
        if (!Inside(path)) return Refused(path);
        return FXEnvWrapper::NewWritableFile(path, mode, out, options);
    }
    CKoError NewRandomRWFile(const std::string& path, bool create, std::unique_ptr<FXRandomRWFile>& out,
                             const FXOpenOptions& options = FXOpenOptions()) override {
        if (!Inside(path)) return Refused(path);
        return FXEnvWrapper::NewRandomRWFile(path, create, out, options);
    }
    CKoError RenameFile(const std::string& from, const std::string& to) override {
        if (!Inside(from) || !Inside(to)) return Refused(from);
        return FXEnvWrapper::RenameFile(from, to);
    }
    CKoError RemoveFile(const std::string& path) override {
        if (!Inside(path)) return Refused(path);
        return FXEnvWrapper::RemoveFile(path);
    }
    CKoError CreateDir(const std::string& path, mode_t mode = 0755) override {
        if (!Inside(path)) return Refused(path);
        return FXEnvWrapper::CreateDir(path, mode);
    }
    CKoError RemoveDir(const std::string& path) override {
        if (!Inside(path)) return Refused(path);
        return FXEnvWrapper::RemoveDir(path);
    }

private:
    static bool Inside(const std::string& path) {
        return path.find("/..") == std::string::npos && FXPath::IsAncestorOf(TempDir(), path);
    }
    static CKoError Refused(const std::string& path) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_ACCESS_DENIED, "outside the fuzz folder: %s",
                                       path.c_str());
    }
};

inline void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
}

}  // namespace fuzzsupport
