// Shared libraries loaded at run time.
#pragma once

#include <string>

#include "core/KoError.h"

// One loaded shared library; unloaded when the object goes. Move-only: the handle has one owner.
class CKoLibrary {
public:
    CKoLibrary() = default;
    ~CKoLibrary();
    CKoLibrary(CKoLibrary&& o) noexcept : m_handle(o.m_handle), m_path(std::move(o.m_path)) { o.m_handle = nullptr; }
    CKoLibrary& operator=(CKoLibrary&& o) noexcept;
    CKoLibrary(const CKoLibrary&) = delete;
    CKoLibrary& operator=(const CKoLibrary&) = delete;

    // A path with a "/" is opened as it is; a bare name ("libm.so.6") is looked up the way the
    // dynamic linker looks up dependencies. Symbols are bound at once and kept local to the
    // library. A library that cannot be loaded is Win32 code 126, with the loader's reason.
    // Loading into an object that holds a library unloads that one first.
    CKoError Load(const std::string& path);
    // A missing symbol is Win32 code 127, with the loader's reason.
    CKoError GetAddress(const std::string& name, void*& address) const;
    // The same, cast to a function pointer type: GetFunction("HttpGet", pfnHttpGet).
    template <class F>
    CKoError GetFunction(const std::string& name, F*& function) const {
        void* address = nullptr;
        CKoError e = GetAddress(name, address);
        if (e.IsSuccess()) function = reinterpret_cast<F*>(address);
        return e;
    }
    CKoError Unload();

    bool IsLoaded() const { return m_handle != nullptr; }
    const std::string& GetPath() const { return m_path; }

private:
    void* m_handle = nullptr;
    std::string m_path;
};
