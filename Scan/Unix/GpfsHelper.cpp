// GPFS ACLs through the GPFS library, loaded at run time. The ACL travels as the opaque buffer
// the library's gpfs_getacl fills (GPFS_ACL_TYPE_NFS4 form, its first four bytes its length).
#include <sys/statfs.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "core/LogWriter.h"
#include "core/StringUtil.h"
#include "scan/Unix/ZyFsACL.h"

namespace ZyACL {

namespace {
constexpr long kGpfsSuperMagic = 0x47504653;  // "GPFS"
constexpr int kGpfsGetaclStruct = 0x20;       // GPFS_GETACL_STRUCT
constexpr size_t kMaxAcl = 1 << 20;
}  // namespace

GpfsHelper::GpfsHelper() {
    if (m_library.Load("libgpfs.so").IsError()) return;
    if (m_library.GetFunction("gpfs_getacl", m_get).IsError() || m_library.GetFunction("gpfs_putacl", m_put).IsError()) {
        ZYLOG(1, "GPFS library found without gpfs_getacl/gpfs_putacl; GPFS ACLs are not handled");
        m_get = nullptr;
        m_put = nullptr;
    }
}

GpfsHelper::~GpfsHelper() = default;

bool GpfsHelper::isGpfsACLSupported(const char* path) {
    if (!m_get) return false;
    struct statfs fs;
    return ::statfs(path, &fs) == 0 && fs.f_type == kGpfsSuperMagic;
}

int GpfsHelper::getACL(const char* path, std::string& acl, std::string& error) {
    acl.clear();
    if (!m_get) {
        error = "GPFS library not loaded";
        return -1;
    }
    // The buffer starts with its own length; the library answers ENOSPC with the length it needs.
    std::vector<char> buffer(4096);
    for (;;) {
        const uint32_t len = static_cast<uint32_t>(buffer.size());
        std::memcpy(buffer.data(), &len, 4);
        if (m_get(path, kGpfsGetaclStruct, buffer.data()) == 0) break;
        if (errno != ENOSPC || buffer.size() >= kMaxAcl) {
            error = FXString::Format("Failed to get GPFS ACL for %s: %s", path, std::strerror(errno));
            return -1;
        }
        uint32_t need;
        std::memcpy(&need, buffer.data(), 4);
        buffer.resize(std::min<size_t>(kMaxAcl, std::max<size_t>(need, buffer.size() * 2)));
    }
    uint32_t used;
    std::memcpy(&used, buffer.data(), 4);
    acl.assign(buffer.data(), std::min<size_t>(used, buffer.size()));
    return 0;
}

int GpfsHelper::setACL(const char* path, const std::string& acl, std::string& error) {
    if (!m_put) {
        error = "GPFS library not loaded";
        return -1;
    }
    uint32_t declared = 0;
    if (acl.size() >= 4) std::memcpy(&declared, acl.data(), 4);
    if (acl.size() < 4 || declared != acl.size()) {
        error = FXString::Format("Corrupt GPFS ACL for %s", path);
        return -1;
    }
    std::vector<char> buffer(acl.begin(), acl.end());
    if (m_put(path, kGpfsGetaclStruct, buffer.data()) != 0) {
        error = FXString::Format("Failed to set GPFS ACL for %s: %s", path, std::strerror(errno));
        return -1;
    }
    return 0;
}

}  // namespace ZyACL
