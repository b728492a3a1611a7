#include "core/Library.h"

#include <dlfcn.h>

#include "core/LogWriter.h"

namespace {
// dlerror's text, which also clears it.
std::string LoaderError() {
    const char* text = ::dlerror();
    return text ? std::string(text) : std::string("no reason given");
}
}  // namespace

CKoLibrary::~CKoLibrary() {
    CKoError e = Unload();
    if (e.IsError()) ZYLOG_ERROR("%s", e.AsString().c_str());
}

CKoLibrary& CKoLibrary::operator=(CKoLibrary&& o) noexcept {
    if (this != &o) {
        CKoError e = Unload();
        if (e.IsError()) ZYLOG_ERROR("%s", e.AsString().c_str());
        m_handle = o.m_handle;
        m_path = std::move(o.m_path);
        o.m_handle = nullptr;
    }
    return *this;
}

CKoError CKoLibrary::Load(const std::string& path) {
    CKoError e = Unload();
    if (e.IsError()) return e.Push(ZY_HERE);
    if (path.empty()) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "No library name");
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_MOD_NOT_FOUND, "Cannot load library, Library=[%s], Error=[%s]",
                                       path.c_str(), LoaderError().c_str());
    m_handle = handle;
    m_path = path;
    ZYLOG(5, "Loaded library, Library=[%s]", m_path.c_str());
    return CKoError::Success();
}

CKoError CKoLibrary::GetAddress(const std::string& name, void*& address) const {
    address = nullptr;
    if (!m_handle)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "No library loaded, Symbol=[%s]", name.c_str());
    // A symbol may legitimately be null; only dlerror tells a failure.
    ::dlerror();
    void* found = ::dlsym(m_handle, name.c_str());
    const char* text = ::dlerror();
    if (text)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_PROC_NOT_FOUND,
                                       "Symbol not found, Library=[%s], Symbol=[%s], Error=[%s]",
                                       m_path.c_str(), name.c_str(), text);
    address = found;
    return CKoError::Success();
}

CKoError CKoLibrary::Unload() {
    if (!m_handle) return CKoError::Success();
    void* handle = m_handle;
    m_handle = nullptr;
    if (::dlclose(handle) != 0)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FUNCTION_FAILED, "Cannot unload library, Library=[%s], Error=[%s]",
                                       m_path.c_str(), LoaderError().c_str());
    return CKoError::Success();
}
