#include "JobFileGuard.h"

#include "core/Env.h"

CKoError CJobFileGuard::RequireRegular(const std::string& path, uint64_t maxSize, bool& exists, uint64_t* size) {
    FXFileStat st;
    CKoError e = FXEnv::Current()->Stat(path, st, false);
    exists = e.IsSuccess();
    if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND)) return CKoError::Success();
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot examine job file, FileName=[%s]", path.c_str());
    if (!st.IsRegular())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                       "Job file is not a regular file (a link, a FIFO, a device or a folder), FileName=[%s]",
                                       path.c_str());
    if (st.size > maxSize)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "Job file is too large, FileName=[%s], Size=[%llu]",
                                       path.c_str(), static_cast<unsigned long long>(st.size));
    if (size) *size = st.size;
    return CKoError::Success();
}

CKoError CJobFileGuard::ClearIfNotRegular(const std::string& path) {
    FXFileStat st;
    CKoError e = FXEnv::Current()->Stat(path, st, false);
    if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND)) return CKoError::Success();
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot examine job file, FileName=[%s]", path.c_str());
    if (st.IsRegular()) return CKoError::Success();
    e = st.IsDirectory() ? FXEnv::Current()->RemoveDir(path) : FXEnv::Current()->RemoveFile(path);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot remove what stands where a job file belongs, FileName=[%s]", path.c_str());
    return CKoError::Success();
}

CKoError CJobFileGuard::CheckCollectFile(const std::string& path, uint64_t expectedSize, uint64_t& size) {
    bool exists = false;
    size = 0;
    CKoError e = RequireRegular(path, UINT64_MAX, exists, &size);
    if (e.IsError()) return e.Push(ZY_HERE);
    if (!exists)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FILE_NOT_FOUND, "Collect file is missing, FileName=[%s]", path.c_str());
    if (expectedSize != 0 && size != expectedSize)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                       "Collect file is truncated or damaged: it has %llu bytes, the scan wrote %llu, FileName=[%s]",
                                       static_cast<unsigned long long>(size), static_cast<unsigned long long>(expectedSize),
                                       path.c_str());
    if (size == 0) return CKoError::Success();
    std::unique_ptr<FXRandomAccessFile> file;
    e = FXEnv::Current()->NewRandomAccessFile(path, file);
    char last = 0;
    size_t got = 0;
    if (e.IsSuccess()) e = file->Read(size - 1, &last, 1, got);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot read collect file, FileName=[%s]", path.c_str());
    if (got != 1 || last != '\n')
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                       "Collect file is truncated: its last line has no line end, FileName=[%s]", path.c_str());
    return CKoError::Success();
}
