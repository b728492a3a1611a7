// NTFS security descriptors. The NTFS library (libntfs-3g, loaded at run time) opens a volume by
// its device; a volume that ntfs-3g or the kernel has mounted keeps its device busy, and there
// the descriptor is reached through the mount's own attribute instead ("system.ntfs_acl" on
// ntfs-3g, "system.ntfs_security" on the kernel driver). Either way it travels as one record of
// type 11 holding the self-relative descriptor.
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstring>

#include "core/LogWriter.h"
#include "core/MntTab.h"
#include "core/Path.h"
#include "core/StringUtil.h"
#include "scan/Unix/ZyFsACL.h"

namespace ZyACL {

namespace {
constexpr unsigned kSelection = 1 | 2 | 4 | 8;  // owner, group, DACL, SACL
constexpr unsigned long kMountReadOnly = 1;     // NTFS_MNT_RDONLY
constexpr size_t kMaxDescriptor = 1u << 20;
const char* const kXattrNames[] = {"system.ntfs_acl", "system.ntfs_security"};

bool IsNtfsMount(const std::string& fsType) {
    return fsType == "fuseblk" || fsType == "fuse" || fsType == "ntfs" || fsType == "ntfs3" || fsType == "ntfs-3g" ||
           fsType == "fuse.ntfs-3g";
}
}  // namespace

struct NTFSACLHelper::Functions {
    int (*getSecurity)(void*, const char*, unsigned, char*, unsigned, unsigned*) = nullptr;
    int (*setSecurity)(void*, const char*, unsigned, const char*) = nullptr;
    void* (*initialize)(const char*, unsigned long) = nullptr;
    int (*leave)(void*) = nullptr;
    void* readDirectory = nullptr;
    void* sidSize = nullptr;
    int (*validDescr)(const char*, unsigned) = nullptr;
};

NTFSACLHelper::NTFSACLHelper() : NTFSACLHelper({"libntfs-3g.so.88", "libntfs-3g.so.89", "libntfs-3g.so"}) {}

NTFSACLHelper::NTFSACLHelper(const std::vector<std::string>& libraries) : m_fn(new Functions) { load(libraries); }

NTFSACLHelper::~NTFSACLHelper() = default;

void NTFSACLHelper::load(const std::vector<std::string>& libraries) {
    m_aclSupported = false;
    std::string lastError = "no library named";
    for (const std::string& name : libraries) {
        CKoError e = m_library.Load(name);
        if (e.IsSuccess()) {
            ZYLOG(3, "library %s loaded", name.c_str());
            break;
        }
        lastError = e.GetMessage();
    }
    if (!m_library.IsLoaded()) {
        ZYLOG(1, "Failed to load libntfs-3g.so, error=[%s]", lastError.c_str());
        return;
    }
    Functions& f = *m_fn;
    struct Wanted {
        const char* name;
        void** slot;
    } wanted[] = {
        {"ntfs_get_file_security", reinterpret_cast<void**>(&f.getSecurity)},
        {"ntfs_initialize_file_security", reinterpret_cast<void**>(&f.initialize)},
        {"ntfs_leave_file_security", reinterpret_cast<void**>(&f.leave)},
        {"ntfs_read_directory", &f.readDirectory},
        {"ntfs_sid_size", &f.sidSize},
        {"ntfs_valid_descr", reinterpret_cast<void**>(&f.validDescr)},
        {"ntfs_set_file_security", reinterpret_cast<void**>(&f.setSecurity)},
    };
    for (const Wanted& w : wanted) {
        CKoError e = m_library.GetAddress(w.name, *w.slot);
        if (e.IsError()) {
            ZYLOG(1, "ACL support disabled. %s not found  error=[%s]", w.name, e.GetMessage().c_str());
            *m_fn = Functions();
            return;
        }
    }
    m_aclSupported = true;
}

// ---------------------------------------------------------------------------------------------
// Through the mount

int NTFSACLHelper::getThroughXattr(const char* path, int fd) {
    if (m_sd.size() < 4096) m_sd.resize(4096);
    for (const char* name : kXattrNames) {
        ssize_t got;
        while ((got = fd >= 0 ? ::fgetxattr(fd, name, m_sd.data(), m_sd.size())
                              : ::lgetxattr(path, name, m_sd.data(), m_sd.size())) < 0 &&
               errno == ERANGE && m_sd.size() < kMaxDescriptor)
            m_sd.resize(m_sd.size() * 2);
        if (got < 0) {
            if (errno == ENODATA || errno == EOPNOTSUPP) continue;
            return failf(errno, "Failed to get ACL of %s: %s", path, std::strerror(errno));
        }
        if (got > 0) addRecord(RECORD_NTFS_SD, 0, 1, static_cast<uint32_t>(got)).setData(m_sd.data(), size_t(got));
        return 0;
    }
    return failf(EOPNOTSUPP, "ACL not supported on %s", path);
}

int NTFSACLHelper::setThroughXattr(const char* path, int fd) {
    clearError();
    for (size_t i = 0; i < m_listUsed; ++i) {
        const Info& r = m_list[i];
        if (r.type() != RECORD_NTFS_SD) return failf(EINVAL, "Unsupported ACL type (%d).", r.type());
        const char* sd = reinterpret_cast<const char*>(r.data());
        const size_t size = static_cast<size_t>(r.payloadSize());
        if (m_fn->validDescr && !m_fn->validDescr(sd, static_cast<unsigned>(size)))
            return failf(EINVAL, "Corrupt NTFS security descriptor for %s", path);
        int rc = -1;
        for (const char* name : kXattrNames) {
            rc = fd >= 0 ? ::fsetxattr(fd, name, sd, size, 0) : ::lsetxattr(path, name, sd, size, 0);
            if (rc == 0 || errno != EOPNOTSUPP) break;
        }
        if (rc != 0) return failf(errno, "Failed to set ACL of %s: %s", path, std::strerror(errno));
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Through the library

int NTFSACLHelper::getFromDevice(const std::string& device, const std::string& pathInVolume) {
    clearRecords();
    if (!isLibraryLoaded()) return failf(EOPNOTSUPP, "ACL not supported: the NTFS library is not loaded");
    void* api = m_fn->initialize(device.c_str(), kMountReadOnly);
    if (!api) return failf(errno, "Failed to open device %s: %s", device.c_str(), std::strerror(errno));
    if (m_sd.size() < 4096) m_sd.resize(4096);
    int rc = 0;
    for (;;) {
        unsigned size = 0;
        errno = 0;
        // Non-zero on success; 0 with EINVAL when the buffer is too small (the size is not told).
        if (m_fn->getSecurity(api, pathInVolume.c_str(), kSelection, m_sd.data(), static_cast<unsigned>(m_sd.size()),
                              &size) != 0) {
            if (size > m_sd.size()) size = static_cast<unsigned>(m_sd.size());
            if (size) addRecord(RECORD_NTFS_SD, 0, 1, size).setData(m_sd.data(), size);
            break;
        }
        if (errno == EINVAL && m_sd.size() < kMaxDescriptor) {
            m_sd.resize(m_sd.size() * 2);
            continue;
        }
        rc = failf(errno ? errno : EIO, "Failed to get ACL of %s on %s: %s", pathInVolume.c_str(), device.c_str(),
                   std::strerror(errno ? errno : EIO));
        break;
    }
    m_fn->leave(api);
    return rc;
}

int NTFSACLHelper::setOnDevice(const std::string& device, const std::string& pathInVolume) {
    clearError();
    if (!isLibraryLoaded()) return failf(EOPNOTSUPP, "ACL not supported: the NTFS library is not loaded");
    void* api = m_fn->initialize(device.c_str(), 0);
    if (!api) return failf(errno, "Failed to open device %s: %s", device.c_str(), std::strerror(errno));
    int rc = 0;
    for (size_t i = 0; i < m_listUsed && rc == 0; ++i) {
        const Info& r = m_list[i];
        const char* sd = reinterpret_cast<const char*>(r.data());
        if (r.type() != RECORD_NTFS_SD)
            rc = failf(EINVAL, "Unsupported ACL type (%d).", r.type());
        else if (!m_fn->validDescr(sd, static_cast<unsigned>(r.payloadSize())))
            rc = failf(EINVAL, "Corrupt NTFS security descriptor for %s", pathInVolume.c_str());
        else if (!m_fn->setSecurity(api, pathInVolume.c_str(), kSelection, sd))
            rc = failf(errno ? errno : EIO, "Failed to set ACL of %s on %s: %s", pathInVolume.c_str(), device.c_str(),
                       std::strerror(errno ? errno : EIO));
    }
    m_fn->leave(api);
    return rc;
}

// ---------------------------------------------------------------------------------------------
// By path: the mount decides the route

int NTFSACLHelper::get(const char* path, bool followLinks, struct stat*) {
    clearRecords();
    std::string real;
    if (FXPath::MakeRealPath(path, real).IsError()) real = path;
    if (m_mounts.empty()) {
        std::vector<ZyMntEnt> mounts;
        if (ZyMntTab::getAll(mounts).IsError()) return failf(EIO, "Failed to read the mount table for %s", path);
        for (ZyMntEnt& m : mounts) m_mounts.emplace_back(std::move(m.mountPoint), std::move(m.fsType));
    }
    const std::pair<std::string, std::string>* best = nullptr;
    for (const auto& m : m_mounts)
        if (FXPath::IsAncestorOf(m.first, real, true) && (!best || m.first.size() >= best->first.size())) best = &m;
    if (!best || !IsNtfsMount(best->second)) return failf(EOPNOTSUPP, "ACL not supported on %s", path);
    // A mounted volume's device is held by its driver; the mount answers for it.
    (void)followLinks;
    return getThroughXattr(path, -1);
}

int NTFSACLHelper::set(const char* path, bool) { return setThroughXattr(path, -1); }

int NTFSACLHelper::getAt(int dirfd, const char* name, std::string& buffer, struct stat* st) {
    clearRecords();
    buffer.clear();
    ItemHandle h;
    if (const int err = h.open(dirfd, name)) return failf(err, "Failed to open %s: %s", name, std::strerror(err));
    if (st) *st = h.st;
    const int rc = h.pathOnly ? getThroughXattr(h.procPath, -1) : getThroughXattr(name, h.fd);
    if (toNetworkBuffer(buffer) < 0) return -1;
    return rc;
}

int NTFSACLHelper::setAt(int dirfd, const char* name, const std::string& buffer) {
    if (fromNetworkBuffer(buffer.data(), buffer.size(), FLAG_NEW_LAYOUT) != 0) return -1;
    ItemHandle h;
    if (const int err = h.open(dirfd, name)) return failf(err, "Failed to open %s: %s", name, std::strerror(err));
    return h.pathOnly ? setThroughXattr(h.procPath, -1) : setThroughXattr(name, h.fd);
}

bool NTFSACLHelper::DoesBackupHaveACL() {
    for (size_t i = 0; i < m_listUsed; ++i)
        if (m_list[i].type() == RECORD_NTFS_SD) return true;
    return false;
}

int NTFSACLHelper::convertOld2New(const char* buffer, size_t size, uint64_t) {
    // Older NTFS backups carried the descriptor alone.
    clearRecords();
    if (size > kMaxDescriptor) return failf(EINVAL, "NTFS security descriptor of %zu bytes is too large", size);
    if (size) addRecord(RECORD_NTFS_SD, 0, 1, static_cast<uint32_t>(size)).setData(buffer, size);
    return 0;
}

}  // namespace ZyACL
