// Linux: extended attributes (the POSIX ACLs among them, as "system.posix_acl_*"), inode flags
// and, on GPFS, GPFS ACLs. The ACL library is loaded at run time and only serves the two fixed
// ACL records of older backups; without it everything else still works.
#include <arpa/inet.h>
#include <endian.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/LogWriter.h"
#include "core/PlatformInfo.h"
#include "core/StringUtil.h"
#include "scan/Unix/CollectFileEncode.h"
#include "scan/Unix/ZyFsACL.h"

namespace ZyACL {

namespace {

constexpr size_t kFirstListSize = 1024;
constexpr size_t kFirstValueSize = 16384;
constexpr size_t kMaxAttributeBytes = 1u << 30;  // no file system stores more; a larger answer is a lie
// Applied after everything else: once set, neither attributes nor times can be written.
constexpr uint64_t kLateFlags = FS_IMMUTABLE_FL | FS_APPEND_FL;

const char* const kGlusterSkipped[] = {"trusted.glusterfs.cs.block_size", "trusted.glusterfs.cs.num_blocks",
                                       "trusted.glusterfs.cs.object_size", "trusted.glusterfs.cs.remote",
                                       "security.selinux"};

// POSIX ACL extended-attribute layout (little-endian): a 4-byte version, then 8-byte entries.
constexpr uint32_t kPosixAclVersion = 2;

}  // namespace

// How an item is reached. With a descriptor the f* calls are used; a path is followed or not.
struct LinuxHelper::Target {
    const char* path = nullptr;  // for messages, and for the calls when fd < 0
    bool follow = false;
    int fd = -1;
    bool flagsPossible = true;  // a regular file or folder: inode flags may be read or set

    ssize_t list(char* buffer, size_t size) const {
        if (fd >= 0) return ::flistxattr(fd, buffer, size);
        return follow ? ::listxattr(path, buffer, size) : ::llistxattr(path, buffer, size);
    }
    ssize_t get(const char* name, void* buffer, size_t size) const {
        if (fd >= 0) return ::fgetxattr(fd, name, buffer, size);
        return follow ? ::getxattr(path, name, buffer, size) : ::lgetxattr(path, name, buffer, size);
    }
    int set(const char* name, const void* value, size_t size) const {
        if (fd >= 0) return ::fsetxattr(fd, name, value, size, 0);
        return follow ? ::setxattr(path, name, value, size, 0) : ::lsetxattr(path, name, value, size, 0);
    }
    int remove(const char* name) const {
        if (fd >= 0) return ::fremovexattr(fd, name);
        return follow ? ::removexattr(path, name) : ::lremovexattr(path, name);
    }
    // A descriptor for the flag ioctls: the target's own, or one opened here (owned by `own`).
    int flagsFd(int& own) const {
        own = -1;
        if (fd >= 0) return fd;
        own = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
        return own;
    }
};

struct LinuxHelper::AclFunctions {
    CKoLibrary library;
    void* (*copy_int)(const void*) = nullptr;
    int (*free_)(void*) = nullptr;
    int (*set_file)(const char*, int, void*) = nullptr;
    int (*set_fd)(int, void*) = nullptr;
    bool loaded = false;
};

LinuxHelper::LinuxHelper() : m_acl(new AclFunctions), m_gpfs(new GpfsHelper) {
    loadAclLibrary();
    std::string hook;
    if (ZYPlatformInfo::getString("FileSystemAgent", "MLSHOOK", hook).IsSuccess()) {
        m_mlsHook = hook;
        if (hook == "ignore")
            ZYLOG(1, "will ignore SELinux attribute failures.");
        else if (!hook.empty())
            ZYLOG(1, "will try add MLS '%s' to security attribute in case of SELinux failures.", hook.c_str());
    }
    m_names.resize(kFirstListSize);
    m_value.resize(kFirstValueSize);
}

LinuxHelper::~LinuxHelper() = default;

void LinuxHelper::loadAclLibrary() {
    AclFunctions& f = *m_acl;
    if (f.library.Load("libacl.so.1").IsError()) {
        ZYLOG(1, "ACL support library not found.");
        return;
    }
    // The whole set the helper may call; a library without one of them is too old to trust.
    static const char* const kNames[] = {"acl_copy_ext", "acl_copy_int", "acl_free", "acl_get_fd",
                                         "acl_get_file", "acl_set_fd",   "acl_set_file", "acl_size"};
    for (const char* name : kNames) {
        void* address = nullptr;
        if (f.library.GetAddress(name, address).IsError()) {
            ZYLOG(1, "ACL support disable. %s not found.  Verify if ACL library has version 1.0.3 or newer, and file "
                     "system supports ACL.",
                  name);
            f.library.Unload().IgnoreError();
            return;
        }
    }
    f.library.GetFunction("acl_copy_int", f.copy_int).IgnoreError();
    f.library.GetFunction("acl_free", f.free_).IgnoreError();
    f.library.GetFunction("acl_set_file", f.set_file).IgnoreError();
    f.library.GetFunction("acl_set_fd", f.set_fd).IgnoreError();
    f.loaded = true;
}

// ---------------------------------------------------------------------------------------------
// Reading

int LinuxHelper::get(const char* path, bool followLinks, struct stat* st) {
    clearRecords();
    struct stat own;
    if (!st) {
        if ((followLinks ? ::stat(path, &own) : ::lstat(path, &own)) != 0)
            return fail(errno, FXString::Format("Unable get file information (stat) on file '%s'. %s", path,
                                                std::strerror(errno)));
        st = &own;
    }
    Target t;
    t.path = path;
    t.follow = followLinks;
    t.flagsPossible = S_ISREG(st->st_mode) || S_ISDIR(st->st_mode);
    return readItem(t, *st);
}

int LinuxHelper::get(int fd) {
    clearRecords();
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return fail(errno, FXString::Format("Unable get file information (stat) on descriptor %d. %s", fd,
                                            std::strerror(errno)));
    Target t;
    char name[32];
    std::snprintf(name, sizeof name, "fd %d", fd);
    t.path = name;
    t.fd = fd;
    t.flagsPossible = S_ISREG(st.st_mode) || S_ISDIR(st.st_mode);
    return readItem(t, st);
}

int LinuxHelper::getAt(int dirfd, const char* name, std::string& buffer, struct stat* st) {
    clearRecords();
    buffer.clear();
    ItemHandle h;
    if (const int err = h.open(dirfd, name))
        return fail(err, FXString::Format("Unable get file information (stat) on file '%s'. %s", name,
                                          std::strerror(err)));
    if (st) *st = h.st;
    Target t;
    t.flagsPossible = !h.pathOnly;
    if (h.pathOnly) {
        t.path = h.procPath;
        t.follow = true;  // the /proc link leads to the item itself, a symbolic link included
    } else {
        t.path = name;
        t.fd = h.fd;
    }
    const int rc = readItem(t, h.st);
    if (toNetworkBuffer(buffer) < 0) return -1;
    return rc;
}

int LinuxHelper::readItem(const Target& t, const struct stat&) {
    int rc = 0;
    // 1. Attribute names, in a buffer that grows while the list does not fit.
    ssize_t listed;
    for (;;) {
        listed = t.list(m_names.data(), m_names.size());
        if (listed >= 0 || errno != ERANGE) break;
        const ssize_t need = t.list(nullptr, 0);
        const size_t next = std::max(m_names.size() * 2, need > 0 ? size_t(need) : size_t(0));
        if (next > kMaxAttributeBytes) {
            errno = E2BIG;
            break;
        }
        m_names.resize(next);
    }
    if (listed < 0) {
        if (errno == EOPNOTSUPP)
            rc = fail(errno, "extended attributes are not supported by the filesystem, or are disabled");
        else
            rc = fail(errno, FXString::Format("unable get list of xattr, %s: %s", t.path, std::strerror(errno)));
        listed = 0;
    }
    // 2. Each value.
    m_xattrData.clear();
    for (ssize_t pos = 0; pos < listed;) {
        const char* name = m_names.data() + pos;
        const size_t len = ::strnlen(name, size_t(listed - pos));
        pos += len + 1;
        if (len == 0 || isXattrFiltered(name)) continue;
        ZYLOG(tracing() ? 0 : 9, "(%s) reading xattr '%s'", t.path, name);
        ssize_t got;
        for (;;) {
            got = t.get(name, m_value.data(), m_value.size());
            if (got >= 0 || errno != ERANGE) break;
            const size_t next = m_value.size() + m_value.size() / 2;
            if (next > kMaxAttributeBytes) {
                errno = E2BIG;
                break;
            }
            m_value.resize(next);
        }
        if (got < 0) {
            if (errno == ENODATA) continue;  // removed since it was listed
            rc = fail(errno, FXString::Format("unable get value for %s of %s: %s", name, t.path, std::strerror(errno)));
            continue;
        }
        ZYLOG(tracing() ? 0 : 9, "(%s) xattr '%s': size %d", t.path, name, static_cast<int>(got));
        AppendXattrEntry(m_xattrData, std::string_view(name, len), std::string_view(m_value.data(), size_t(got)));
    }
    if (!m_xattrData.empty()) {
        if (m_xattrData.size() > 0xFFFFFFFFu) return fail(E2BIG, "extended attributes larger than 4 GiB");
        Info& r = addRecord(RECORD_XATTR, 0, 1, static_cast<uint32_t>(m_xattrData.size()));
        r.setData(m_xattrData.data(), m_xattrData.size());
    }
    // 3. Inode flags of regular files and folders; file systems without them simply have none.
    if (t.flagsPossible) {
        int own;
        const int fd = t.flagsFd(own);
        int flags = 0;
        if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            const uint64_t word = htobe64(static_cast<uint64_t>(static_cast<uint32_t>(flags)));
            addRecord(RECORD_INODE_FLAGS, 0, 1, 8).setData(&word, 8);
        }
        if (own >= 0) ::close(own);
    }
    // 4. GPFS ACLs.
    if ((m_options & OPTION_GPFS) && t.fd < 0 && m_gpfs->isGpfsACLSupported(t.path)) {
        std::string acl, error;
        if (m_gpfs->getACL(t.path, acl, error) != 0) {
            rc = fail(EIO, error);
        } else if (!acl.empty() && acl.size() <= 0xFFFFFFFFu) {
            addRecord(RECORD_GPFS_ACL, 0, 1, static_cast<uint32_t>(acl.size())).setData(acl.data(), acl.size());
        }
    }
    return m_lastError ? -1 : rc;
}

// ---------------------------------------------------------------------------------------------
// Writing

int LinuxHelper::set(const char* path, bool followLinks) {
    Target t;
    t.path = path;
    t.follow = followLinks;
    return applyItem(t);
}

int LinuxHelper::set(int fd) {
    Target t;
    char name[32];
    std::snprintf(name, sizeof name, "fd %d", fd);
    t.path = name;
    t.fd = fd;
    return applyItem(t);
}

int LinuxHelper::setAt(int dirfd, const char* name, const std::string& buffer) {
    if (fromNetworkBuffer(buffer.data(), buffer.size(), FLAG_NEW_LAYOUT) != 0) return -1;
    ItemHandle h;
    if (const int err = h.open(dirfd, name))
        return fail(err, FXString::Format("Unable to open '%s' to apply its ACLs: %s", name, std::strerror(err)));
    Target t;
    t.flagsPossible = !h.pathOnly;
    if (h.pathOnly) {
        t.path = h.procPath;
        t.follow = true;
    } else {
        t.path = name;
        t.fd = h.fd;
    }
    return applyItem(t);
}

int LinuxHelper::applyItem(const Target& t) {
    clearError();
    m_capabilities.clear();
    m_haveLateFlags = false;
    m_postSetRequired = false;
    int rc = 0;
    for (const Info* fixed : {&m_access, &m_default}) {
        if (!fixed->empty() && applyFixedACL(t, *fixed) != 0) rc = -1;
    }
    for (size_t i = 0; i < m_listUsed; ++i) {
        const Info& r = m_list[i];
        switch (r.type()) {
            case RECORD_XATTR:
                if (applyXattrs(t, r.data(), static_cast<size_t>(r.payloadSize())) != 0) rc = -1;
                break;
            case RECORD_INODE_FLAGS: {
                uint64_t word;
                std::memcpy(&word, r.data(), 8);
                if (applyFlags(t, be64toh(word), false) != 0) rc = -1;
                break;
            }
            case RECORD_GPFS_ACL: {
                std::string error;
                const std::string acl(reinterpret_cast<const char*>(r.data()), static_cast<size_t>(r.payloadSize()));
                ZYLOG(tracing() ? 0 : 7, "set GPFS ACL for %s", t.path);
                if (t.fd >= 0 || !m_gpfs->isLoaded()) {
                    rc = fail(EOPNOTSUPP, FXString::Format("GPFS ACL of %s cannot be applied here", t.path));
                } else if (m_gpfs->setACL(t.path, acl, error) != 0) {
                    rc = fail(EIO, error);
                }
                break;
            }
            default:
                rc = failf(EINVAL, "Unsupported ACL type (%d).", r.type());
                break;
        }
    }
    return m_lastError ? -1 : rc;
}

int LinuxHelper::applyXattrs(const Target& t, const uint8_t* data, size_t size) {
    CKoError e = ParseXattrEntries(data, size, m_entries);
    if (e.IsError()) return fail(EINVAL, e.GetMessage());
    int rc = 0;
    std::string name;
    for (const XattrEntry& x : m_entries) {
        name.assign(x.name.data(), x.name.size());
        if (name == "security.capability") {
            // Writing data or owners drops capabilities, so they go on last.
            m_capabilities.emplace_back(name, std::string(x.value));
            m_postSetRequired = true;
            continue;
        }
        if (name == "user.OSTUB") continue;
        if (m_options & OPTION_GLUSTER) {
            bool skip = false;
            for (const char* s : kGlusterSkipped) skip = skip || name == s;
            if (skip) {
                ZYLOG(tracing() ? 0 : 7, "skipping %s", name.c_str());
                continue;
            }
        }
        ZYLOG(tracing() ? 0 : 9, "setting '%s' with '%s'", name.c_str(), t.path);
        if (t.set(name.c_str(), x.value.data(), x.value.size()) == 0) continue;
        const int err = errno;
        if (name == "security.selinux" && setSelinux(t, name, x.value) == 0) continue;
        rc = fail(err, FXString::Format("failed to set '%s' with '%s' (%s).", name.c_str(), t.path, std::strerror(err)));
    }
    return rc;
}

int LinuxHelper::setSelinux(const Target& t, std::string_view name, std::string_view value) {
    if (m_mlsHook == "ignore") return 0;
    if (m_mlsHook.empty()) return -1;
    // The label may or may not carry its terminating NUL; the level goes before it.
    std::string label(value);
    const bool nul = !label.empty() && label.back() == '\0';
    if (nul) label.pop_back();
    label += ":" + m_mlsHook;
    if (nul) label.push_back('\0');
    return t.set(std::string(name).c_str(), label.data(), label.size());
}

int LinuxHelper::applyFlags(const Target& t, uint64_t saved, bool late) {
    // Only what a user may change is applied; the rest (extents, inline data, encryption) belongs
    // to the file system that holds the copy.
    const uint64_t wanted = saved & FS_FL_USER_MODIFIABLE;
    if (!late && (wanted & kLateFlags)) {
        m_lateFlags = wanted;
        m_haveLateFlags = true;
        m_postSetRequired = true;
    }
    int own = -1;
    const int fd = t.flagsPossible ? t.flagsFd(own) : -1;
    int current = 0;
    const bool readable = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &current) == 0;
    const int readErr = readable ? 0 : (t.flagsPossible ? errno : EOPNOTSUPP);
    uint64_t next = (static_cast<uint32_t>(current) & ~uint64_t(FS_FL_USER_MODIFIABLE)) | wanted;
    if (!late) next &= ~kLateFlags;
    int rc = 0;
    if (!readable) {
        // A file system without flags can only take "none".
        if (wanted & (late ? ~uint64_t(0) : ~kLateFlags)) {
            const int err = readErr ? readErr : EOPNOTSUPP;
            rc = fail(err, FXString::Format("Failed to set EXT2 extended attributes 0x%X on '%s': %s",
                                            static_cast<unsigned>(wanted), t.path, std::strerror(err)));
        }
    } else if (next != static_cast<uint32_t>(current)) {
        int value = static_cast<int>(next);
        if (::ioctl(fd, FS_IOC_SETFLAGS, &value) != 0)
            rc = fail(errno, FXString::Format("Failed to set EXT2 extended attributes 0x%X on '%s': %s",
                                              static_cast<unsigned>(next), t.path, std::strerror(errno)));
    }
    if (own >= 0) ::close(own);
    return rc;
}

int LinuxHelper::applyFixedACL(const Target& t, const Info& record) {
    if (record.type() != RECORD_POSIX_ACL) return failf(EINVAL, "Unsupported ACL type (%d).", record.type());
    AclFunctions& f = *m_acl;
    if (!f.loaded) return fail(ENOTSUP, "ACL support library not found.");
    // The external form starts with its own size; the library trusts it, so it must be the record's.
    uint64_t declared = 0;
    if (record.payloadSize() >= 8) std::memcpy(&declared, record.data(), 8);
    if (record.payloadSize() < 8 || le64toh(declared) != record.payloadSize())
        return fail(EINVAL, FXString::Format("Corrupt ACL record for '%s': size %llu, declared %llu", t.path,
                                             static_cast<unsigned long long>(record.payloadSize()),
                                             static_cast<unsigned long long>(le64toh(declared))));
    void* acl = f.copy_int(record.data());
    if (!acl) return fail(errno ? errno : EINVAL, FXString::Format("Corrupt ACL record for '%s'", t.path));
    constexpr int kAccess = 0x8000, kDefault = 0x4000;  // ACL_TYPE_ACCESS, ACL_TYPE_DEFAULT
    int rc;
    if (t.fd >= 0 && record.mode() == 0) {
        rc = f.set_fd(t.fd, acl);
    } else {
        char proc[32];
        const char* path = t.path;
        if (t.fd >= 0) {
            std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", t.fd);
            path = proc;
        }
        rc = f.set_file(path, record.mode() ? kDefault : kAccess, acl);
    }
    const int err = errno;
    f.free_(acl);
    if (rc != 0)
        return fail(err, FXString::Format("failed to set '%s' with '%s' (%s).",
                                          record.mode() ? "default ACL" : "access ACL", t.path, std::strerror(err)));
    return 0;
}

// ---------------------------------------------------------------------------------------------
// What comes last

int LinuxHelper::PostSet(const char* path, bool followLinks) {
    Target t;
    t.path = path;
    t.follow = followLinks;
    return postSetItem(t);
}

int LinuxHelper::PostSet(int fd) {
    Target t;
    char name[32];
    std::snprintf(name, sizeof name, "fd %d", fd);
    t.path = name;
    t.fd = fd;
    return postSetItem(t);
}

int LinuxHelper::PostSetAt(int dirfd, const char* name) {
    if (!m_postSetRequired) return 0;
    ItemHandle h;
    if (const int err = h.open(dirfd, name))
        return fail(err, FXString::Format("Unable to open '%s' to apply its ACLs: %s", name, std::strerror(err)));
    Target t;
    t.flagsPossible = !h.pathOnly;
    if (h.pathOnly) {
        t.path = h.procPath;
        t.follow = true;
    } else {
        t.path = name;
        t.fd = h.fd;
    }
    return postSetItem(t);
}

int LinuxHelper::postSetItem(const Target& t) {
    int rc = 0;
    for (const auto& [name, value] : m_capabilities) {
        if (t.fd >= 0)
            ZYLOG(tracing() ? 0 : 7, "(fd, %s, %s, %d)", name.c_str(), t.path, static_cast<int>(value.size()));
        else
            ZYLOG(tracing() ? 0 : 7, "(%s, %s, %s, %d)", t.path, name.c_str(), t.path, static_cast<int>(value.size()));
        if (t.set(name.c_str(), value.data(), value.size()) != 0)
            rc = fail(errno, FXString::Format("failed to set '%s' with '%s' (%s).", name.c_str(), t.path,
                                              std::strerror(errno)));
    }
    if (m_haveLateFlags && applyFlags(t, m_lateFlags, true) != 0) rc = -1;
    return rc;
}

bool LinuxHelper::DoesBackupHaveACL() {
    for (size_t i = 0; i < m_listUsed; ++i) {
        const Info& r = m_list[i];
        if (r.type() != RECORD_XATTR) continue;
        if (ParseXattrEntries(r.data(), static_cast<size_t>(r.payloadSize()), m_entries).IsError()) continue;
        for (const XattrEntry& x : m_entries)
            if (x.name == "system.posix_acl_access" || x.name == "system.posix_acl_default") return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// One attribute at a time, and clearing

int LinuxHelper::setOneXATTR(const char* path, const char* name, const void* value, size_t size) {
    if (::lsetxattr(path, name, value, size, 0) != 0)
        return fail(errno, FXString::Format("Failed to set Extended Attribute for %s: %s", path, std::strerror(errno)));
    return 0;
}

int LinuxHelper::getOneXATTR(const char* path, const char* name, void* buffer, size_t size) {
    const ssize_t got = ::lgetxattr(path, name, buffer, size);
    if (got >= 0) return static_cast<int>(got);
    if (errno == ERANGE) return fail(ERANGE, "Destination memory space insufficient");
    return fail(errno, FXString::Format("Failed to get Extended Attribute for %s: %s", path, std::strerror(errno)));
}

int LinuxHelper::truncateOneXATTR(const char* path, const char* name) {
    if (::lremovexattr(path, name) != 0)
        return fail(errno,
                    FXString::Format("Failed to truncate Extended Attribute for %s: %s", path, std::strerror(errno)));
    return 0;
}

bool LinuxHelper::isXATTRSupported(const char* path) {
    const int rc = getOneXATTR(path, "user.dummyXattr", nullptr, 0);
    const bool supported = !(rc < 0 && m_lastError == EOPNOTSUPP);
    clearError();
    return supported;
}

int LinuxHelper::truncateLinuxExtAttribute(const char* path, bool followLinks) {
    Target t;
    t.path = path;
    t.follow = followLinks;
    ssize_t listed;
    while ((listed = t.list(m_names.data(), m_names.size())) < 0 && errno == ERANGE && m_names.size() < kMaxAttributeBytes)
        m_names.resize(m_names.size() * 2);
    if (listed < 0)
        return fail(errno, FXString::Format("Failed to get xattr list on '%s': %s", path, std::strerror(errno)));
    int rc = 0;
    for (ssize_t pos = 0; pos < listed;) {
        const char* name = m_names.data() + pos;
        pos += ::strnlen(name, size_t(listed - pos)) + 1;
        if (std::strcmp(name, "user.OSTUB") == 0) {
            ZYLOG(tracing() ? 0 : 7, "(%s) skipping user.OSTUB", path);
            continue;
        }
        ZYLOG(tracing() ? 0 : 7, "(%s) truncating xattr %s", path, name);
        if (t.remove(name) != 0 && errno != ENODATA)
            rc = fail(errno, FXString::Format("Failed to truncate xattr '%s' of '%s': %s", name, path,
                                              std::strerror(errno)));
    }
    return rc;
}

int LinuxHelper::truncateLinuxExtAttribute(int fd) {
    char name[32];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
    return truncateLinuxExtAttribute(name, true);
}

// ---------------------------------------------------------------------------------------------
// ACL text and the older layout

namespace {

void AppendAclText(std::string& text, const char* prefix, const char* value, size_t size) {
    if (size < 4) return;
    uint32_t version;
    std::memcpy(&version, value, 4);
    if (le32toh(version) != kPosixAclVersion) return;
    for (size_t pos = 4; pos + 8 <= size; pos += 8) {
        uint16_t tag, perm;
        uint32_t id;
        std::memcpy(&tag, value + pos, 2);
        std::memcpy(&perm, value + pos + 2, 2);
        std::memcpy(&id, value + pos + 4, 4);
        tag = le16toh(tag);
        perm = le16toh(perm);
        id = le32toh(id);
        const char* kind = "";
        bool named = false;
        switch (tag) {
            case 0x01: kind = "user"; break;
            case 0x02: kind = "user"; named = true; break;
            case 0x04: kind = "group"; break;
            case 0x08: kind = "group"; named = true; break;
            case 0x10: kind = "mask"; break;
            case 0x20: kind = "other"; break;
            default: continue;
        }
        if (!text.empty()) text += ',';
        text += prefix;
        text += kind;
        text += ':';
        if (named) text += std::to_string(id);
        text += ':';
        text += (perm & 4) ? 'r' : '-';
        text += (perm & 2) ? 'w' : '-';
        text += (perm & 1) ? 'x' : '-';
    }
}

}  // namespace

int LinuxHelper::getaclforwebconsole(const char* path, std::string& text, bool followLinks, struct stat* st,
                                     unsigned long) {
    text.clear();
    struct stat own;
    if (!st) {
        if ((followLinks ? ::stat(path, &own) : ::lstat(path, &own)) != 0)
            return fail(errno, FXString::Format("Unable get file information (stat) on file '%s'. %s", path,
                                                std::strerror(errno)));
        st = &own;
    }
    Target t;
    t.path = path;
    t.follow = followLinks;
    ssize_t got = t.get("system.posix_acl_access", m_value.data(), m_value.size());
    if (got >= 0) {
        AppendAclText(text, "", m_value.data(), size_t(got));
    } else {
        // No extended ACL: the mode is the whole ACL.
        const mode_t m = st->st_mode;
        text = FXString::Format("user::%c%c%c,group::%c%c%c,other::%c%c%c", (m & 0400) ? 'r' : '-',
                                (m & 0200) ? 'w' : '-', (m & 0100) ? 'x' : '-', (m & 040) ? 'r' : '-',
                                (m & 020) ? 'w' : '-', (m & 010) ? 'x' : '-', (m & 04) ? 'r' : '-',
                                (m & 02) ? 'w' : '-', (m & 01) ? 'x' : '-');
    }
    if (S_ISDIR(st->st_mode) && (got = t.get("system.posix_acl_default", m_value.data(), m_value.size())) >= 0)
        AppendAclText(text, "default:", m_value.data(), size_t(got));
    return 0;
}

std::string LinuxHelper::makeOldLayout(std::string_view accessExt, std::string_view defaultExt) {
    std::string out;
    for (std::string_view part : {accessExt, defaultExt}) {
        const uint32_t len = htonl(static_cast<uint32_t>(part.size()));
        out.append(reinterpret_cast<const char*>(&len), 4);
        out.append(part.data(), part.size());
    }
    return out;
}

int LinuxHelper::convertOld2New(const char* buffer, size_t size, uint64_t) {
    // The older layout: the access ACL and then the default ACL, each a 4-byte network-order
    // length and the ACL library's external form; the default part may be missing.
    size_t pos = 0;
    for (int part = 0; part < 2 && pos < size; ++part) {
        if (size - pos < 4) {
            clearRecords();
            return failf(EINVAL, "Old-format ACL buffer truncated at offset %zu of %zu", pos, size);
        }
        uint32_t len;
        std::memcpy(&len, buffer + pos, 4);
        len = ntohl(len);
        pos += 4;
        if (len > size - pos) {
            clearRecords();
            return failf(EINVAL, "Old-format ACL of %u bytes passes the end of its buffer (%zu bytes left)", len,
                         size - pos);
        }
        if (len > 0) {
            Info& r = part == 0 ? m_access : m_default;
            r.reset(RECORD_POSIX_ACL, part == 0 ? 0 : 1, 1, len);
            r.setData(buffer + pos, len);
        }
        pos += len;
    }
    if (pos != size) {
        clearRecords();
        return failf(EINVAL, "Old-format ACL buffer has %zu bytes after its two ACLs", size - pos);
    }
    return 0;
}

}  // namespace ZyACL
