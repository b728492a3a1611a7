// Security metadata of files: extended attributes (which on Linux carry the POSIX ACLs), inode
// flags and file-system specific ACLs, read into a self-describing network buffer that travels in
// the backup stream and written back on restore. One helper per kind of file system; a factory
// picks it by the ACL type of the data.
//
// Network buffer (integers in network byte order): records, each a 16-byte header
//   type:16 mode:16 count:16 extra:16 elementSize:32 zero:32
// followed by count x elementSize bytes of data padded to a multiple of 8. Records with count 0
// are not written. Types: 1..9 the two fixed ACL records (mode 0 the access ACL, any other mode
// the default ACL), 11 an NTFS security descriptor, 12 extended attributes, 13 a GPFS ACL,
// 16 the inode flags, 17 a Hadoop ACL and attribute blob.
//
// Helpers keep their state between calls (the records of the last get or fromNetworkBuffer, the
// last error) and belong to one thread; a backup or restore stream keeps one helper and reuses it
// for every item, so the per-item path allocates nothing once the buffers have grown.
//
// Operations answer 0 on success and -1 on failure, keeping an error number and a text that
// lastError() turns into a CKoError; isCritical() tells whether the item must fail.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/KoError.h"
#include "core/Library.h"

namespace ZyACL {

// The ACL type of backed-up data; its low 16 bits choose the helper.
using Type = uint32_t;

// Record types of the network buffer.
enum ERecordType : uint16_t {
    RECORD_POSIX_ACL = 1,  // a fixed record: a POSIX ACL in the ACL library's external form
    RECORD_MAX_FIXED = 9,
    RECORD_NTFS_SD = 11,   // a self-relative NTFS security descriptor
    RECORD_XATTR = 12,     // extended attributes: (name with NUL, value) entries
    RECORD_GPFS_ACL = 13,  // a GPFS ACL as the GPFS library gives it
    RECORD_INODE_FLAGS = 16,
    RECORD_HADOOP = 17,    // the Hadoop access library's ACL and attribute blob
};

// ACL types the factory knows.
constexpr Type TYPE_NTFS = 11;
constexpr Type TYPE_HADOOP = 17;

// fromNetworkBuffer: the buffer is in the record layout above; without it, the older layout.
constexpr uint64_t FLAG_NEW_LAYOUT = 1ull << 56;
// Helper options.
constexpr uint64_t OPTION_GLUSTER = 1ull << 8;  // skip the Gluster bookkeeping attributes and SELinux labels
constexpr uint64_t OPTION_GPFS = 1ull << 16;    // read and write GPFS ACLs

constexpr size_t HEADER_SIZE = 16;
// Padding of record data and of extended-attribute items.
constexpr size_t Pad8(size_t n) { return (n + 7) & ~size_t(7); }

// One record.
class Info {
public:
    Info() = default;
    Info(uint16_t type, uint16_t mode, uint16_t count, uint32_t elementSize, uint16_t extra = 0);

    uint16_t type() const { return m_type; }
    uint16_t mode() const { return m_mode; }
    uint16_t count() const { return m_count; }
    uint32_t elementSize() const { return m_elementSize; }
    uint16_t extra() const { return m_extra; }
    // count x element size: the bytes that mean something.
    uint64_t payloadSize() const { return uint64_t(m_count) * m_elementSize; }
    // count x element size rounded up to a multiple of 8: the bytes the record carries.
    uint64_t dataSize() const { return (payloadSize() + 7) & ~uint64_t(7); }

    const uint8_t* data() const { return m_data.data(); }
    uint8_t* data() { return m_data.data(); }
    // Sets the header and sizes the data block (zero-filled); the block is reused between items.
    void reset(uint16_t type, uint16_t mode, uint16_t count, uint32_t elementSize, uint16_t extra = 0);
    // Copies `size` bytes to the start of the data block; false (and nothing copied) when they do
    // not fit in count x element size.
    bool setData(const void* data, size_t size);
    // Empties the record (count 0) and keeps the capacity of its block.
    void clear();
    bool empty() const { return m_count == 0 || m_elementSize == 0; }

private:
    uint16_t m_type = 0;
    uint16_t m_mode = 0;
    uint16_t m_count = 0;
    uint32_t m_elementSize = 0;
    uint16_t m_extra = 0;
    std::vector<uint8_t> m_data;
};

// Extended-attribute entries of a type-12 record: each name (with its NUL) and each value as a
// 4-byte network-order length, the bytes, and padding to a multiple of 8.
struct XattrEntry {
    std::string_view name;  // without the NUL
    std::string_view value;
};
// Appends one entry to `out`.
void AppendXattrEntry(std::string& out, std::string_view name, std::string_view value);
// Splits a type-12 record's data into entries that view into it. A truncated entry, a length
// past the end, a name without its NUL or with a NUL inside, or an empty name is an error.
CKoError ParseXattrEntries(const uint8_t* data, size_t size, std::vector<XattrEntry>& entries);

// Splits a network buffer into records that view into it, checking every header: truncated
// headers and data, a non-zero reserved field, counts whose data overflows or passes the end.
struct RecordView {
    uint16_t type, mode, count, extra;
    uint32_t elementSize;
    const uint8_t* data;  // payload (count x element size bytes)
    uint64_t size;
};
CKoError ParseNetworkBuffer(const uint8_t* buffer, size_t size, std::vector<RecordView>& records);

class Helper {
public:
    Helper();
    virtual ~Helper();
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

    // The helper for backed-up data of this ACL type: 11 NTFS, 17 Hadoop, anything else the default.
    static std::shared_ptr<Helper> getInstance(Type type);
    // The default helper: Linux, or the do-nothing helper when "/tmp/ACLDEBUG_OFFHOOK" existed at
    // first use ("/tmp/ACLDEBUG_HOOK" turns on detailed logging instead).
    static std::shared_ptr<Helper> getInstance();
    // 0 none, 1 detailed logging, 2 ACL handling off; decided once per process.
    static int debugMode();

    // --- operations in slot order ---
    virtual bool canUseHandle();
    // Applies the records held to the item (the link itself unless followLinks).
    virtual int set(const char* path, bool followLinks);
    virtual int set(int fd);
    // Reads the item's metadata into the records; `st` may give its status.
    virtual int get(const char* path, bool followLinks, struct stat* st);
    virtual int get(int fd);
    virtual bool isCritical();
    virtual Type getHeaderType() = 0;
    // Parse a network buffer (record layout) and apply it.
    virtual int set(const char* path, const std::string& buffer, bool followLinks);
    virtual int set(int fd, const std::string& buffer);
    // Read the item and write its network buffer into `buffer`.
    virtual int get(const char* path, std::string& buffer, bool followLinks, struct stat* st);
    virtual int get(int fd, std::string& buffer);
    virtual int setOneXATTR(const char* path, const char* name, const void* value, size_t size);
    // Reads into the caller's buffer of `size` bytes; answers the value's length, or -1. An empty
    // buffer only asks whether the attribute can be read.
    virtual int getOneXATTR(const char* path, const char* name, void* buffer, size_t size);
    virtual int truncateOneXATTR(const char* path, const char* name);
    virtual bool isXATTRSupported(const char* path);
    virtual bool IsPostSetRequired();
    // Applies what must come last: kept "security.capability" values, then the immutable and
    // append-only inode flags (neither could be written after them).
    virtual int PostSet(const char* path, bool followLinks);
    virtual int PostSet(int fd);
    virtual bool DoesBackupHaveACL();
    virtual bool isEndUserAccessSupported();
    // The item's ACLs as text ("user::rw-,group::r--,other::r--" lines, access then default).
    virtual int getaclforwebconsole(const char* path, std::string& text, bool followLinks, struct stat* st,
                                    unsigned long flags);
    virtual bool IsInDomain();
    // Converts a buffer of the older layout into the records.
    virtual int convertOld2New(const char* buffer, size_t size, uint64_t flags) = 0;

    // --- the item addressed by a folder descriptor and one name in it (never followed, never
    // a path: a name with "/" or "." or ".." is refused), for callers that descend by openat ---
    virtual int getAt(int dirfd, const char* name, std::string& buffer, struct stat* st = nullptr);
    virtual int setAt(int dirfd, const char* name, const std::string& buffer);
    virtual int PostSetAt(int dirfd, const char* name);

    // --- the network buffer ---
    // Writes the access record, the default record and each listed record; answers the size
    // written, 0 when ACLs are not supported, -1 when `size` is too small (error ERANGE).
    int toNetworkBuffer(char* buffer, size_t size);
    int toNetworkBuffer(std::string& buffer);
    int getNetworkBufferSize() const;
    // With FLAG_NEW_LAYOUT parses the record layout, otherwise hands the buffer to convertOld2New.
    // A malformed buffer is -1 with error EINVAL and a text naming what is wrong; the records are
    // then empty.
    int fromNetworkBuffer(const char* buffer, size_t size, uint64_t flags);

    // --- state ---
    void clearRecords();
    Info& accessACL() { return m_access; }
    Info& defaultACL() { return m_default; }
    // The listed records (types above 9) in use.
    size_t recordCount() const { return m_listUsed; }
    const Info& record(size_t i) const { return m_list[i]; }
    Info& addRecord(uint16_t type, uint16_t mode, uint16_t count, uint32_t elementSize);
    void setOptions(uint64_t options) { m_options = options; }
    uint64_t options() const { return m_options; }
    bool isACLSupported() const { return m_aclSupported; }

    int lastErrno() const { return m_lastError; }
    const std::string& lastErrorText() const { return m_lastErrorText; }
    void clearError() {
        m_lastError = 0;
        m_lastErrorText.clear();
    }
    // The last error as a CKoError (errno family; Win32 774 when no errno was kept).
    CKoError lastError(const FXCodeLocation& location) const;
    void setDebugLevel(int level) { m_debugLevel = level; }

protected:
    // Keeps the error and logs it; always answers -1.
    int fail(int err, const std::string& text);
    int failf(int err, const char* format, ...) ZY_PRINTF(3, 4);
    bool tracing() const { return m_debugLevel > 0; }

    int m_lastError = 0;
    std::string m_lastErrorText;
    int m_debugLevel = 0;
    Info m_access;
    Info m_default;
    std::vector<Info> m_list;
    size_t m_listUsed = 0;  // records of m_list in use; the rest keep their blocks for reuse
    std::vector<RecordView> m_views;  // fromNetworkBuffer's parse, kept between items
    std::vector<XattrEntry> m_entries;
    bool m_postSetRequired = false;
    bool m_aclSupported = true;
    uint64_t m_options = 0;

    friend class HelperTestAccess;
};

// Opens the item `name` of folder `dirfd` for metadata work without following a link: regular
// files and folders read-only (so the inode flags can be read), anything else as a path handle
// whose attributes are reached through /proc/self/fd. `st` receives its status.
struct ItemHandle {
    int fd = -1;
    bool pathOnly = false;  // O_PATH: attributes go through procPath
    char procPath[32] = {0};
    struct stat st {};
    ~ItemHandle();
    // 0, or the errno of the failed step (EINVAL for a name that is not one component).
    int open(int dirfd, const char* name);
};

class GpfsHelper;

// Linux: extended attributes (POSIX ACLs among them) and inode flags.
class LinuxHelper : public Helper {
public:
    using Helper::get;
    using Helper::set;
    using Helper::PostSet;
    LinuxHelper();
    ~LinuxHelper() override;

    int set(const char* path, bool followLinks) override;
    int set(int fd) override;
    int get(const char* path, bool followLinks, struct stat* st) override;
    int get(int fd) override;
    Type getHeaderType() override { return 0; }
    int setOneXATTR(const char* path, const char* name, const void* value, size_t size) override;
    int getOneXATTR(const char* path, const char* name, void* buffer, size_t size) override;
    int truncateOneXATTR(const char* path, const char* name) override;
    bool isXATTRSupported(const char* path) override;
    int PostSet(const char* path, bool followLinks) override;
    int PostSet(int fd) override;
    bool DoesBackupHaveACL() override;
    bool isEndUserAccessSupported() override { return true; }
    int getaclforwebconsole(const char* path, std::string& text, bool followLinks, struct stat* st,
                            unsigned long flags) override;
    int convertOld2New(const char* buffer, size_t size, uint64_t flags) override;
    int getAt(int dirfd, const char* name, std::string& buffer, struct stat* st = nullptr) override;
    int setAt(int dirfd, const char* name, const std::string& buffer) override;
    int PostSetAt(int dirfd, const char* name) override;

    // Removes every extended attribute of the item except "user.OSTUB".
    int truncateLinuxExtAttribute(const char* path, bool followLinks);
    int truncateLinuxExtAttribute(int fd);

    // Builds an older-layout buffer from the ACL library's external forms of the access and
    // default ACLs: for each a 4-byte network-order length and the bytes.
    static std::string makeOldLayout(std::string_view accessExt, std::string_view defaultExt);

    struct Target;  // how an item is reached: path (followed or not), descriptor, or /proc path

private:
    int readItem(const Target& t, const struct stat& st);
    int applyItem(const Target& t);
    int postSetItem(const Target& t);
    int applyXattrs(const Target& t, const uint8_t* data, size_t size);
    int applyFlags(const Target& t, uint64_t flags, bool late);
    int applyFixedACL(const Target& t, const Info& record);
    int setSelinux(const Target& t, std::string_view name, std::string_view value);
    void loadAclLibrary();

    struct AclFunctions;
    std::unique_ptr<AclFunctions> m_acl;
    std::unique_ptr<GpfsHelper> m_gpfs;
    std::vector<char> m_names;  // listxattr answer, kept between items
    std::vector<char> m_value;  // getxattr answer, kept between items
    std::string m_xattrData;    // type-12 data being built
    std::vector<std::pair<std::string, std::string>> m_capabilities;  // kept for PostSet
    uint64_t m_lateFlags = 0;   // immutable / append-only bits kept for PostSet
    bool m_haveLateFlags = false;
    std::string m_mlsHook;      // setting "MLSHOOK"
};

// GPFS ACLs through the GPFS library, loaded at run time; absent here, so GPFS support is off.
class GpfsHelper {
public:
    GpfsHelper();
    ~GpfsHelper();
    // True when the library is loaded and the item lies on a GPFS file system.
    bool isGpfsACLSupported(const char* path);
    int getACL(const char* path, std::string& acl, std::string& error);
    int setACL(const char* path, const std::string& acl, std::string& error);
    bool isLoaded() const { return m_get != nullptr; }

private:
    CKoLibrary m_library;
    int (*m_get)(const char*, int, void*) = nullptr;
    int (*m_put)(const char*, int, void*) = nullptr;
};

// Hadoop: the agent's Hadoop access library, loaded at run time, reads and writes one blob per
// item (record type 17). Its functions:
//   int GetACLandXattr(const char* path, char* buffer, unsigned* size)  0, or ERANGE with *size
//   int SetACLandXattr(const char* path, const char* buffer, unsigned size)  0, or an errno
class HadoopHelper : public Helper {
public:
    using Helper::get;
    using Helper::set;
    using Helper::PostSet;
    // The library's file name comes from the setting "HadoopAccessLibrary" (section
    // "FileSystemAgent"), "libZyHdfsAccess.so" by default.
    HadoopHelper();
    explicit HadoopHelper(const std::string& library);
    ~HadoopHelper() override;

    int get(const char* path, bool followLinks, struct stat* st) override;
    int set(const char* path, bool followLinks) override;
    Type getHeaderType() override { return TYPE_HADOOP; }
    bool isXATTRSupported(const char* path) override;
    bool DoesBackupHaveACL() override;
    int convertOld2New(const char* buffer, size_t size, uint64_t flags) override;

private:
    CKoLibrary m_library;
    std::string m_loadError;
    int (*m_get)(const char*, char*, unsigned*) = nullptr;
    int (*m_set)(const char*, const char*, unsigned) = nullptr;
    std::vector<char> m_blob;
};

// NTFS volumes through libntfs-3g, loaded at run time. A volume mounted by ntfs-3g keeps its
// device busy, so there the descriptor travels through the mount's "system.ntfs_acl" attribute;
// a volume that is not mounted (an image, an unmounted device) is read through the library.
class NTFSACLHelper : public Helper {
public:
    using Helper::get;
    using Helper::set;
    using Helper::PostSet;
    NTFSACLHelper();
    // Loads the first of `libraries` that loads (tests name a missing one).
    explicit NTFSACLHelper(const std::vector<std::string>& libraries);
    ~NTFSACLHelper() override;

    int get(const char* path, bool followLinks, struct stat* st) override;
    int set(const char* path, bool followLinks) override;
    Type getHeaderType() override { return TYPE_NTFS; }
    bool DoesBackupHaveACL() override;
    int convertOld2New(const char* buffer, size_t size, uint64_t flags) override;
    int getAt(int dirfd, const char* name, std::string& buffer, struct stat* st = nullptr) override;
    int setAt(int dirfd, const char* name, const std::string& buffer) override;

    // The descriptor of `pathInVolume` ("/dir/file") on an NTFS device or image that is not
    // mounted, and the reverse.
    int getFromDevice(const std::string& device, const std::string& pathInVolume);
    int setOnDevice(const std::string& device, const std::string& pathInVolume);
    bool isLibraryLoaded() const { return m_library.IsLoaded() && m_aclSupported; }
    const std::string& libraryPath() const { return m_library.GetPath(); }

private:
    int getThroughXattr(const char* path, int fd);
    int setThroughXattr(const char* path, int fd);
    void load(const std::vector<std::string>& libraries);

    struct Functions;
    std::unique_ptr<Functions> m_fn;
    CKoLibrary m_library;
    std::vector<char> m_sd;
    std::vector<std::pair<std::string, std::string>> m_mounts;  // mount point, type; read once
};

// Does nothing: used when ACL handling is switched off for debugging.
class NoACLHelper : public Helper {
public:
    NoACLHelper() { m_aclSupported = false; }
    Type getHeaderType() override { return 0; }
    int convertOld2New(const char*, size_t, uint64_t) override { return 0; }
};

}  // namespace ZyACL
