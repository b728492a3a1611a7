// The base of the ACL helpers: records, the network buffer, the last error and the factory.
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <mutex>

#include "core/LogWriter.h"
#include "core/StringUtil.h"
#include "scan/Unix/ZyFsACL.h"

namespace ZyACL {

Helper::Helper() {
    if (debugMode() == 1) m_debugLevel = 1;
}

Helper::~Helper() = default;

int Helper::debugMode() {
    static int mode = [] {
        if (::access("/tmp/ACLDEBUG_OFFHOOK", F_OK) == 0) return 2;
        if (::access("/tmp/ACLDEBUG_HOOK", F_OK) == 0) return 1;
        return 0;
    }();
    return mode;
}

std::shared_ptr<Helper> Helper::getInstance() {
    if (debugMode() == 2) return std::make_shared<NoACLHelper>();
    return std::make_shared<LinuxHelper>();
}

std::shared_ptr<Helper> Helper::getInstance(Type type) {
    switch (type & 0xFFFF) {
        case TYPE_NTFS: return std::make_shared<NTFSACLHelper>();
        case TYPE_HADOOP: return std::make_shared<HadoopHelper>();
        default: return getInstance();
    }
}

bool Helper::canUseHandle() { return false; }
int Helper::set(const char*, bool) { return 0; }
int Helper::set(int) { return 0; }

int Helper::get(const char*, bool, struct stat*) {
    clearRecords();
    return 0;
}

int Helper::get(int) {
    clearRecords();
    return 0;
}

bool Helper::isCritical() {
    return !(m_lastError == ENOSYS || m_lastError == EOPNOTSUPP || m_lastError == ENODATA);
}

int Helper::set(const char* path, const std::string& buffer, bool followLinks) {
    if (fromNetworkBuffer(buffer.data(), buffer.size(), FLAG_NEW_LAYOUT) != 0) return -1;
    return set(path, followLinks);
}

int Helper::set(int fd, const std::string& buffer) {
    if (fromNetworkBuffer(buffer.data(), buffer.size(), FLAG_NEW_LAYOUT) != 0) return -1;
    return set(fd);
}

int Helper::get(const char* path, std::string& buffer, bool followLinks, struct stat* st) {
    buffer.clear();
    const int rc = get(path, followLinks, st);
    // What was read is written even when part of the read failed: the caller decides by isCritical.
    if (toNetworkBuffer(buffer) < 0) return -1;
    return rc;
}

int Helper::get(int fd, std::string& buffer) {
    buffer.clear();
    const int rc = get(fd);
    if (toNetworkBuffer(buffer) < 0) return -1;
    return rc;
}

int Helper::setOneXATTR(const char*, const char*, const void*, size_t) { return failf(ENOTSUP, "not supported"); }
int Helper::getOneXATTR(const char*, const char*, void*, size_t) { return failf(ENOTSUP, "not supported"); }
int Helper::truncateOneXATTR(const char*, const char*) { return failf(ENOTSUP, "not supported"); }
bool Helper::isXATTRSupported(const char*) { return true; }
bool Helper::IsPostSetRequired() { return m_postSetRequired; }
int Helper::PostSet(const char*, bool) { return 0; }
int Helper::PostSet(int) { return 0; }
bool Helper::DoesBackupHaveACL() { return false; }
bool Helper::isEndUserAccessSupported() { return false; }

int Helper::getaclforwebconsole(const char*, std::string& text, bool, struct stat*, unsigned long) {
    text.clear();
    return 0;
}

bool Helper::IsInDomain() { return false; }

int Helper::getAt(int, const char*, std::string& buffer, struct stat*) {
    clearRecords();
    buffer.clear();
    return 0;
}

int Helper::setAt(int, const char*, const std::string&) { return 0; }
int Helper::PostSetAt(int, const char*) { return 0; }

void Helper::clearRecords() {
    m_access.clear();
    m_default.clear();
    m_listUsed = 0;
    m_postSetRequired = false;
    clearError();
}

Info& Helper::addRecord(uint16_t type, uint16_t mode, uint16_t count, uint32_t elementSize) {
    if (m_listUsed == m_list.size()) m_list.emplace_back();
    Info& r = m_list[m_listUsed++];
    r.reset(type, mode, count, elementSize);
    return r;
}

int Helper::getNetworkBufferSize() const {
    uint64_t total = 0;
    auto add = [&total](const Info& r) {
        if (!r.empty()) total += HEADER_SIZE + r.dataSize();
    };
    add(m_access);
    add(m_default);
    for (size_t i = 0; i < m_listUsed; ++i) add(m_list[i]);
    return total > 0x7FFFFFFF ? -1 : static_cast<int>(total);
}

namespace {

void PutHeader(char* out, const Info& r) {
    const uint16_t h16[4] = {htons(r.type()), htons(r.mode()), htons(r.count()), htons(r.extra())};
    const uint32_t h32[2] = {htonl(r.elementSize()), 0};
    std::memcpy(out, h16, 8);
    std::memcpy(out + 8, h32, 8);
}

}  // namespace

int Helper::toNetworkBuffer(char* buffer, size_t size) {
    if (!m_aclSupported) return 0;
    const int total = getNetworkBufferSize();
    if (total < 0) return failf(EOVERFLOW, "network buffer larger than 2 GiB");
    if (static_cast<size_t>(total) > size)
        return failf(ERANGE, "network buffer of %d bytes does not fit in %zu bytes", total, size);
    char* out = buffer;
    auto put = [&](const Info& r) {
        if (r.empty()) return;
        PutHeader(out, r);
        std::memcpy(out + HEADER_SIZE, r.data(), r.dataSize());
        out += HEADER_SIZE + r.dataSize();
        ZYLOG(tracing() ? 0 : 9, "added buffer: mode:%d type:%d cnt:%d size:%d", r.mode(), r.type(), r.count(),
              static_cast<int>(r.elementSize()));
    };
    put(m_access);
    put(m_default);
    for (size_t i = 0; i < m_listUsed; ++i) put(m_list[i]);
    ZYLOG(tracing() ? 0 : 9, "network buffer size is %d", total);
    return total;
}

int Helper::toNetworkBuffer(std::string& buffer) {
    buffer.clear();
    if (!m_aclSupported) return 0;
    const int total = getNetworkBufferSize();
    if (total <= 0) return total < 0 ? failf(EOVERFLOW, "network buffer larger than 2 GiB") : 0;
    buffer.resize(static_cast<size_t>(total));
    return toNetworkBuffer(&buffer[0], buffer.size());
}

int Helper::fromNetworkBuffer(const char* buffer, size_t size, uint64_t flags) {
    clearRecords();
    if (!(flags & FLAG_NEW_LAYOUT)) return convertOld2New(buffer, size, flags);
    // A damaged buffer leaves no records behind: nothing of it is applied.
    auto corrupt = [this](const std::string& text) {
        clearRecords();
        return fail(EINVAL, text);
    };
    CKoError e = ParseNetworkBuffer(reinterpret_cast<const uint8_t*>(buffer), size, m_views);
    if (e.IsError()) return corrupt(e.GetMessage());
    for (const RecordView& v : m_views) {
        // The element sizes each known type must have; anything else is damage, not data.
        bool sane = true;
        switch (v.type) {
            case RECORD_INODE_FLAGS: sane = v.count == 1 && v.elementSize == 8; break;
            case RECORD_XATTR: {
                e = ParseXattrEntries(v.data, static_cast<size_t>(v.size), m_entries);
                if (e.IsError()) return corrupt(e.GetMessage());
                break;
            }
            case RECORD_NTFS_SD:
            case RECORD_GPFS_ACL:
            case RECORD_HADOOP: break;
            default: sane = v.type <= RECORD_MAX_FIXED; break;
        }
        if (!sane || v.size > 0xFFFFFFFFu)
            return corrupt(FXString::Format("Unsupported ACL record in network buffer: type %d mode %d count %d element size %u",
                                    v.type, v.mode, v.count, v.elementSize));
        Info* r;
        if (v.type > RECORD_MAX_FIXED) {
            r = &addRecord(v.type, v.mode, v.count, v.elementSize);
        } else {
            r = v.mode != 0 ? &m_default : &m_access;
        }
        r->reset(v.type, v.mode, v.count, v.elementSize, v.extra);
        r->setData(v.data, static_cast<size_t>(v.size));
        ZYLOG(tracing() ? 0 : 9, "loaded buffer: mode:%d type:%d cnt:%d size:%d", v.mode, v.type, v.count,
              static_cast<int>(v.elementSize));
    }
    return 0;
}

CKoError Helper::lastError(const FXCodeLocation& location) const {
    if (m_lastError > 0) return FXErrorUtil::ErrorErrNo(location, m_lastError, "%s", m_lastErrorText.c_str());
    return FXErrorUtil::ErrorWin32(location, ZyWin32::ERROR_GENERAL_FAILURE, "%s",
                                   m_lastErrorText.empty() ? "ACL helper failed" : m_lastErrorText.c_str());
}

int Helper::fail(int err, const std::string& text) {
    m_lastError = err;
    m_lastErrorText = text;
    ZYLOG_ERROR("%s", text.c_str());
    return -1;
}

int Helper::failf(int err, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = ZyVFormat(format, args);
    va_end(args);
    return fail(err, text);
}

ItemHandle::~ItemHandle() {
    if (fd >= 0) ::close(fd);
}

int ItemHandle::open(int dirfd, const char* name) {
    if (fd >= 0) ::close(fd);
    fd = -1;
    pathOnly = false;
    procPath[0] = '\0';
    if (!name || !*name || std::strchr(name, '/') || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return EINVAL;
    // The type first: opening a device or a FIFO for reading could have effects of its own, so
    // only regular files and folders are opened for reading.
    if (::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
        const int rfd = ::openat(dirfd, name,
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC |
                                     (S_ISDIR(st.st_mode) ? O_DIRECTORY : 0));
        if (rfd >= 0) {
            struct stat now;
            // The name may have been given to another item meanwhile: what was opened counts.
            if (::fstat(rfd, &now) == 0 && (S_ISREG(now.st_mode) || S_ISDIR(now.st_mode))) {
                st = now;
                fd = rfd;
                return 0;
            }
            ::close(rfd);
        }
        // Not readable (no permission), or no longer a file: a path handle reaches the attributes.
    }
    const int pfd = ::openat(dirfd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (pfd < 0) return errno;
    if (::fstat(pfd, &st) != 0) {
        const int err = errno;
        ::close(pfd);
        return err;
    }
    fd = pfd;
    pathOnly = true;
    std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", pfd);
    return 0;
}

}  // namespace ZyACL
