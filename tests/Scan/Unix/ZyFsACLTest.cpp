#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "core/Library.h"
#include "scan/Unix/ZyFsACL.h"
#include "support/TestSupport.h"

using namespace ZyACL;
using testsupport::ScopedTempDir;
using testsupport::Shell;
using testsupport::WriteFile;

namespace {

bool IsRoot() { return ::geteuid() == 0; }

// Every attribute of an item, read with the system calls directly (not followed).
std::map<std::string, std::string> Xattrs(const std::string& path) {
    std::map<std::string, std::string> out;
    char names[65536];
    const ssize_t n = ::llistxattr(path.c_str(), names, sizeof names);
    for (ssize_t pos = 0; pos < n;) {
        const char* name = names + pos;
        pos += std::strlen(name) + 1;
        char value[65536];
        const ssize_t v = ::lgetxattr(path.c_str(), name, value, sizeof value);
        if (v >= 0) out[name] = std::string(value, size_t(v));
    }
    return out;
}

// ntfs-3g does not list its descriptor attribute; it answers when asked by name.
std::string NtfsAcl(const std::string& path) {
    char value[65536];
    const ssize_t v = ::lgetxattr(path.c_str(), "system.ntfs_acl", value, sizeof value);
    return v < 0 ? std::string() : std::string(value, size_t(v));
}

int InodeFlags(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
    int flags = -1;
    if (fd >= 0) ::ioctl(fd, FS_IOC_GETFLAGS, &flags);
    if (fd >= 0) ::close(fd);
    return flags;
}

std::string Header(uint16_t type, uint16_t mode, uint16_t count, uint16_t extra, uint32_t size) {
    std::string h(16, '\0');
    const uint16_t a[4] = {htons(type), htons(mode), htons(count), htons(extra)};
    const uint32_t b = htonl(size);
    std::memcpy(&h[0], a, 8);
    std::memcpy(&h[8], &b, 4);
    return h;
}

struct DirFd {
    int fd;
    explicit DirFd(const std::string& path) : fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY)) {}
    ~DirFd() { ::close(fd); }
};

TEST(ZyFsACL, NetworkBufferIsByteExact) {
    // One attribute with a 5-byte value: the name item is 4 + 8 ("user.a" and its NUL), the value 4 + 8.
    std::string entries;
    AppendXattrEntry(entries, "user.a", "12345");
    ASSERT_EQ(entries.size(), 24u);
    EXPECT_EQ(entries.substr(0, 12), std::string("\0\0\0\7user.a\0\0", 12));
    EXPECT_EQ(entries.substr(12), std::string("\0\0\0\5" "12345\0\0\0", 12));

    LinuxHelper h;
    h.addRecord(RECORD_XATTR, 0, 1, static_cast<uint32_t>(entries.size())).setData(entries.data(), entries.size());
    const uint64_t flags = htobe64(0x10);
    h.addRecord(RECORD_INODE_FLAGS, 0, 1, 8).setData(&flags, 8);
    h.addRecord(RECORD_XATTR, 0, 0, 0);  // count 0: not written
    std::string buffer;
    ASSERT_EQ(h.toNetworkBuffer(buffer), 16 + 24 + 16 + 8);
    EXPECT_EQ(buffer, Header(12, 0, 1, 0, 24) + entries + Header(16, 0, 1, 0, 8) + std::string("\0\0\0\0\0\0\0\x10", 8));
    EXPECT_EQ(h.getNetworkBufferSize(), static_cast<int>(buffer.size()));

    // A record whose data is not a multiple of 8 is padded; the header keeps the true size.
    LinuxHelper odd;
    odd.addRecord(RECORD_NTFS_SD, 0, 1, 3).setData("abc", 3);
    ASSERT_EQ(odd.toNetworkBuffer(buffer), 24);
    EXPECT_EQ(buffer, Header(11, 0, 1, 0, 3) + std::string("abc\0\0\0\0\0", 8));
    char small[8];
    EXPECT_EQ(odd.toNetworkBuffer(small, sizeof small), -1);
    EXPECT_EQ(odd.lastErrno(), ERANGE);

    // Parsing puts the records back; an empty buffer parses to no records.
    ASSERT_EQ(h.fromNetworkBuffer(buffer.data(), buffer.size(), FLAG_NEW_LAYOUT), 0);
    ASSERT_EQ(h.recordCount(), 1u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(h.record(0).data()), 3), "abc");
    ASSERT_EQ(h.fromNetworkBuffer("", 0, FLAG_NEW_LAYOUT), 0);
    EXPECT_EQ(h.recordCount(), 0u);
    EXPECT_TRUE(h.accessACL().empty());

    // Fixed records: mode 0 is the access ACL, any other mode the default ACL.
    const std::string fixed = Header(1, 0, 1, 0, 8) + "AAAAAAAA" + Header(1, 1, 1, 0, 8) + "DDDDDDDD";
    ASSERT_EQ(h.fromNetworkBuffer(fixed.data(), fixed.size(), FLAG_NEW_LAYOUT), 0);
    EXPECT_EQ(h.accessACL().data()[0], 'A');
    EXPECT_EQ(h.defaultACL().data()[0], 'D');
    EXPECT_EQ(h.recordCount(), 0u);
}

TEST(ZyFsACL, DamagedBuffersAreRefusedWithoutTouchingTheItem) {
    ScopedTempDir dir;
    WriteFile(dir / "f", "x");
    ASSERT_EQ(::setxattr((dir / "f").c_str(), "user.keep", "v", 1, 0), 0);
    std::string good;
    AppendXattrEntry(good, "user.new", "value");
    const std::string goodRecord = Header(12, 0, 1, 0, static_cast<uint32_t>(good.size())) + good;
    std::string noNul = good;
    noNul[4 + 8] = 'x';  // the name's NUL
    const std::string longLength = std::string("\0\0\0\x09user.new\0", 13);
    const struct {
        const char* what;
        std::string buffer;
    } cases[] = {
        {"truncated header", goodRecord.substr(0, 10)},
        {"truncated data", goodRecord.substr(0, 20)},
        {"count x size past the end", Header(12, 0, 0xFFFF, 0, 0xFFFFFFFF) + good},
        {"reserved field set", goodRecord.substr(0, 12) + std::string("\0\0\0\1", 4) + good},
        {"unknown type", Header(14, 0, 1, 0, 8) + std::string(8, 'x')},
        {"flags of the wrong size", Header(16, 0, 1, 0, 4) + std::string(8, '\0')},
        {"flags counted twice", Header(16, 0, 2, 0, 8) + std::string(16, '\0')},
        {"attribute name without NUL", Header(12, 0, 1, 0, static_cast<uint32_t>(noNul.size())) + noNul},
        {"attribute length past the record", Header(12, 0, 1, 0, 16) + longLength + std::string(3, '\0')},
        {"good record then garbage", goodRecord + "garbage"},
    };
    LinuxHelper h;
    DirFd d(dir.Path());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(h.fromNetworkBuffer(c.buffer.data(), c.buffer.size(), FLAG_NEW_LAYOUT), -1);
        EXPECT_EQ(h.lastErrno(), EINVAL);
        EXPECT_FALSE(h.lastErrorText().empty());
        EXPECT_TRUE(h.isCritical());
        EXPECT_EQ(h.recordCount(), 0u);
        EXPECT_EQ(h.setAt(d.fd, "f", c.buffer), -1);
        EXPECT_EQ(Xattrs(dir / "f"), (std::map<std::string, std::string>{{"user.keep", "v"}}));
    }
    EXPECT_EQ(h.setAt(d.fd, "f", goodRecord), 0) << h.lastErrorText();
    EXPECT_EQ(Xattrs(dir / "f").count("user.new"), 1u);
}

TEST(ZyFsACL, AttributesAclsAndFlagsRoundTripByDescriptor) {
    ScopedTempDir dir;
    ASSERT_EQ(::mkdir((dir / "src").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((dir / "dst").c_str(), 0755), 0);
    for (const char* sub : {"src", "dst"}) {
        WriteFile(dir / sub + "/file", "data");
        WriteFile(dir / sub + "/plain", "data");
        ASSERT_EQ(::mkdir((dir / sub + "/folder").c_str(), 0755), 0);
        ASSERT_EQ(::symlink("file", (dir / sub + "/link").c_str()), 0);
    }
    ASSERT_EQ(::setxattr((dir / "src/file").c_str(), "user.one", "1", 1, 0), 0);
    ASSERT_EQ(::setxattr((dir / "src/file").c_str(), "user.ZyStubFile", "s", 1, 0), 0);
    ASSERT_EQ(Shell("setfacl -m u:1234:r-x,g:55:rw- '" + dir / "src/file" + "'"), 0);
    ASSERT_EQ(Shell("setfacl -m d:u:1234:rwx,u:77:r '" + dir / "src/folder" + "'"), 0);
    if (IsRoot()) {
        ASSERT_EQ(::lsetxattr((dir / "src/link").c_str(), "trusted.onlink", "L", 1, 0), 0);
        ASSERT_EQ(::setxattr((dir / "src/folder").c_str(), "trusted.t", "T", 1, 0), 0);
        ASSERT_EQ(Shell("chattr +d '" + dir / "src/file" + "'"), 0);  // no-dump
    }

    LinuxHelper reader, writer;
    DirFd src(dir / "src"), dst(dir / "dst");
    for (const char* name : {"file", "folder", "link", "plain"}) {
        SCOPED_TRACE(name);
        std::string buffer;
        struct stat st;
        ASSERT_EQ(reader.getAt(src.fd, name, buffer, &st), 0) << reader.lastErrorText();
        EXPECT_EQ(writer.setAt(dst.fd, name, buffer), 0) << writer.lastErrorText();
        EXPECT_EQ(writer.PostSetAt(dst.fd, name), 0) << writer.lastErrorText();
        auto want = Xattrs(dir / "src/" + name);
        want.erase("user.ZyStubFile");  // never backed up
        EXPECT_EQ(Xattrs(dir / "dst/" + name), want);
        if (std::string(name) != "link") {
            EXPECT_EQ(InodeFlags(dir / "dst/" + name), InodeFlags(dir / "src/" + name));
        }
    }
    EXPECT_TRUE(Xattrs(dir / "dst/file").count("system.posix_acl_access"));
    EXPECT_TRUE(Xattrs(dir / "dst/folder").count("system.posix_acl_default"));
    // The link's target got nothing of the link's own attributes.
    EXPECT_EQ(Xattrs(dir / "dst/file").count("trusted.onlink"), 0u);

    // A file without attributes: no type-12 record, but its flags (ext4 has them).
    std::string buffer;
    ASSERT_EQ(reader.getAt(src.fd, "plain", buffer), 0);
    ASSERT_EQ(reader.fromNetworkBuffer(buffer.data(), buffer.size(), FLAG_NEW_LAYOUT), 0);
    ASSERT_EQ(reader.recordCount(), InodeFlags(dir / "src/plain") >= 0 ? 1u : 0u);
    if (reader.recordCount()) {
        EXPECT_EQ(reader.record(0).type(), RECORD_INODE_FLAGS);
    }
    EXPECT_FALSE(reader.DoesBackupHaveACL());
    ASSERT_EQ(reader.getAt(src.fd, "file", buffer), 0);
    ASSERT_EQ(reader.fromNetworkBuffer(buffer.data(), buffer.size(), FLAG_NEW_LAYOUT), 0);
    EXPECT_TRUE(reader.DoesBackupHaveACL());

    // Names that are not one component are refused.
    for (const char* bad : {"..", ".", "src/file", "", "../src"}) {
        EXPECT_EQ(reader.getAt(src.fd, bad, buffer), -1) << bad;
        EXPECT_EQ(reader.lastErrno(), EINVAL) << bad;
    }
}

TEST(ZyFsACL, ValuesLargerThanTheFirstBufferOnTmpfs) {
    // ext4 keeps attribute values within a block; tmpfs takes up to 64 KiB.
    const std::string base = "/dev/shm";
    const std::string src = base + "/zyacl-big-src", dst = base + "/zyacl-big-dst";
    WriteFile(src, "x");
    WriteFile(dst, "x");
    const std::string big(60000, 'b');
    bool ok = ::setxattr(src.c_str(), "trusted.big", big.data(), big.size(), 0) == 0;
    for (int i = 0; ok && i < 120; ++i)  // a name list past its first 1 KiB
        ok = ::setxattr(src.c_str(), ("trusted.name-of-some-length-" + std::to_string(i)).c_str(), "v", 1, 0) == 0;
    if (!ok) {
        ::unlink(src.c_str());
        ::unlink(dst.c_str());
        GTEST_SKIP() << "needs root and a tmpfs at /dev/shm";
    }
    LinuxHelper h;
    std::string buffer;
    EXPECT_EQ(h.get(src.c_str(), buffer, false, nullptr), 0) << h.lastErrorText();
    EXPECT_EQ(h.set(dst.c_str(), buffer, false), 0) << h.lastErrorText();
    EXPECT_EQ(Xattrs(dst), Xattrs(src));
    EXPECT_EQ(Xattrs(dst).size(), 121u);
    ::unlink(src.c_str());
    ::unlink(dst.c_str());
}

TEST(ZyFsACL, PathFormsAndTheStringVariants) {
    ScopedTempDir dir;
    WriteFile(dir / "a", "x");
    WriteFile(dir / "b", "x");
    ASSERT_EQ(Shell("setfacl -m u:4321:rw '" + dir / "a" + "'"), 0);
    ASSERT_EQ(::setxattr((dir / "a").c_str(), "user.k", "", 0, 0), 0);  // an empty value
    auto helper = Helper::getInstance(0);
    std::string buffer;
    ASSERT_EQ(helper->get((dir / "a").c_str(), buffer, false, nullptr), 0);
    ASSERT_EQ(helper->set((dir / "b").c_str(), buffer, false), 0) << helper->lastErrorText();
    EXPECT_EQ(Xattrs(dir / "b"), Xattrs(dir / "a"));

    std::string text;
    ASSERT_EQ(helper->getaclforwebconsole((dir / "a").c_str(), text, false, nullptr, 0), 0);
    EXPECT_NE(text.find("user:4321:rw-"), std::string::npos) << text;
    EXPECT_NE(text.find("user::"), std::string::npos) << text;
    EXPECT_TRUE(helper->isXATTRSupported(dir.Path().c_str()));
    EXPECT_TRUE(helper->isEndUserAccessSupported());
    EXPECT_FALSE(helper->IsInDomain());

    // One attribute at a time.
    ASSERT_EQ(helper->setOneXATTR((dir / "b").c_str(), "user.one", "12345", 5), 0);
    char value[8];
    EXPECT_EQ(helper->getOneXATTR((dir / "b").c_str(), "user.one", value, sizeof value), 5);
    EXPECT_EQ(helper->getOneXATTR((dir / "b").c_str(), "user.one", value, 2), -1);
    EXPECT_EQ(helper->lastErrorText(), "Destination memory space insufficient");
    ASSERT_EQ(helper->truncateOneXATTR((dir / "b").c_str(), "user.one"), 0);
    EXPECT_EQ(helper->getOneXATTR((dir / "b").c_str(), "user.one", value, sizeof value), -1);
    EXPECT_EQ(helper->lastErrno(), ENODATA);
    EXPECT_FALSE(helper->isCritical());

    // Clearing keeps only "user.OSTUB".
    ASSERT_EQ(::setxattr((dir / "b").c_str(), "user.OSTUB", "o", 1, 0), 0);
    auto* linux = dynamic_cast<LinuxHelper*>(helper.get());
    ASSERT_NE(linux, nullptr);
    ASSERT_EQ(linux->truncateLinuxExtAttribute((dir / "b").c_str(), false), 0);
    EXPECT_EQ(Xattrs(dir / "b"), (std::map<std::string, std::string>{{"user.OSTUB", "o"}}));

    // A missing item is an error with the stat text.
    EXPECT_EQ(helper->get((dir / "missing").c_str(), false, nullptr), -1);
    EXPECT_EQ(helper->lastErrno(), ENOENT);
    EXPECT_NE(helper->lastErrorText().find("Unable get file information (stat) on file '"), std::string::npos);
    CKoError e = helper->lastError(ZY_HERE);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(e, ENOENT));
}

TEST(ZyFsACL, OlderLayoutThroughTheAclLibrary) {
    CKoLibrary acl;
    ASSERT_TRUE(acl.Load("libacl.so.1").IsSuccess());
    void* (*fromText)(const char*);
    long (*size)(void*);
    long (*copyExt)(void*, void*, long);
    ASSERT_TRUE(acl.GetFunction("acl_from_text", fromText).IsSuccess());
    ASSERT_TRUE(acl.GetFunction("acl_size", size).IsSuccess());
    ASSERT_TRUE(acl.GetFunction("acl_copy_ext", copyExt).IsSuccess());
    int (*freeAcl)(void*);
    ASSERT_TRUE(acl.GetFunction("acl_free", freeAcl).IsSuccess());
    auto external = [&](const char* text) {
        void* a = fromText(text);
        std::string out(static_cast<size_t>(size(a)), '\0');
        EXPECT_GE(copyExt(&out[0], a, static_cast<long>(out.size())), 0);
        freeAcl(a);
        return out;
    };
    ScopedTempDir dir;
    ASSERT_EQ(::mkdir((dir / "d").c_str(), 0755), 0);
    const std::string old = LinuxHelper::makeOldLayout(external("u::rwx,u:99:r--,g::r-x,m::r-x,o::---"),
                                                       external("u::rwx,g::r-x,g:98:rwx,m::rwx,o::---"));
    LinuxHelper h;
    ASSERT_TRUE(h.isACLSupported());
    ASSERT_EQ(h.fromNetworkBuffer(old.data(), old.size(), 0), 0) << h.lastErrorText();
    EXPECT_EQ(h.accessACL().type(), RECORD_POSIX_ACL);
    EXPECT_NE(h.defaultACL().mode(), 0);
    ASSERT_EQ(h.set((dir / "d").c_str(), false), 0) << h.lastErrorText();
    std::string text;
    ASSERT_EQ(h.getaclforwebconsole((dir / "d").c_str(), text, false, nullptr, 0), 0);
    EXPECT_NE(text.find("user:99:r--"), std::string::npos) << text;
    EXPECT_NE(text.find("default:group:98:rwx"), std::string::npos) << text;
    // And the new layout carries what was applied, as attributes.
    std::string buffer;
    ASSERT_EQ(h.get((dir / "d").c_str(), buffer, false, nullptr), 0);
    EXPECT_TRUE(h.fromNetworkBuffer(buffer.data(), buffer.size(), FLAG_NEW_LAYOUT) == 0 && h.DoesBackupHaveACL());

    // Truncated, overlong, and an external form whose own size lies.
    std::string lying = old;
    lying[4] = static_cast<char>(lying[4] + 40);
    for (const std::string& bad : {old.substr(0, 2), old.substr(0, old.size() - 1), old + "x"}) {
        EXPECT_EQ(h.fromNetworkBuffer(bad.data(), bad.size(), 0), -1);
        EXPECT_TRUE(h.accessACL().empty());
    }
    ASSERT_EQ(h.fromNetworkBuffer(lying.data(), lying.size(), 0), 0);
    EXPECT_EQ(h.set((dir / "d").c_str(), false), -1);
    EXPECT_EQ(h.lastErrno(), EINVAL);
}

TEST(ZyFsACL, RootOnlyCapabilitiesImmutableAndTrustedComeBack) {
    if (!IsRoot()) GTEST_SKIP() << "needs root: chattr +i, security.capability and trusted.* attributes";
    ScopedTempDir dir;
    WriteFile(dir / "src", "x");
    WriteFile(dir / "dst", "x");
    // VFS_CAP_REVISION_2 with the effective bit, CAP_NET_RAW permitted.
    const uint32_t cap[5] = {htole32(0x02000001), htole32(1u << 13), 0, 0, 0};
    ASSERT_EQ(::setxattr((dir / "src").c_str(), "security.capability", cap, sizeof cap, 0), 0);
    ASSERT_EQ(::setxattr((dir / "src").c_str(), "trusted.x", "t", 1, 0), 0);
    ASSERT_EQ(Shell("chattr +i +a '" + dir / "src" + "'"), 0);
    LinuxHelper h;
    DirFd d(dir.Path());
    std::string buffer;
    ASSERT_EQ(h.getAt(d.fd, "src", buffer), 0) << h.lastErrorText();
    ASSERT_EQ(h.setAt(d.fd, "dst", buffer), 0) << h.lastErrorText();
    // Before the post-set: no capability, not yet immutable, so owners and times can still change.
    EXPECT_TRUE(h.IsPostSetRequired());
    EXPECT_EQ(Xattrs(dir / "dst").count("security.capability"), 0u);
    EXPECT_EQ(InodeFlags(dir / "dst") & (FS_IMMUTABLE_FL | FS_APPEND_FL), 0);
    EXPECT_EQ(::chown((dir / "dst").c_str(), 1, 1), 0);
    ASSERT_EQ(h.PostSetAt(d.fd, "dst"), 0) << h.lastErrorText();
    EXPECT_EQ(InodeFlags(dir / "dst"), InodeFlags(dir / "src"));
    EXPECT_EQ(Xattrs(dir / "dst"), Xattrs(dir / "src"));
    Shell("chattr -i -a '" + dir / "src" + "' '" + dir / "dst" + "'");
}

TEST(ZyFsACL, FactoryAndLibrariesThatAreMissing) {
    EXPECT_NE(dynamic_cast<NTFSACLHelper*>(Helper::getInstance(11).get()), nullptr);
    EXPECT_NE(dynamic_cast<NTFSACLHelper*>(Helper::getInstance(0x3000B).get()), nullptr);
    EXPECT_NE(dynamic_cast<HadoopHelper*>(Helper::getInstance(17).get()), nullptr);
    EXPECT_NE(dynamic_cast<LinuxHelper*>(Helper::getInstance(12).get()), nullptr);
    EXPECT_EQ(Helper::getInstance(11)->getHeaderType(), TYPE_NTFS);

    // Hadoop without its library: nothing is read or applied, and nothing fails.
    testsupport::ScopedLogCapture log(3);
    HadoopHelper hadoop("libZyHdfsAccess-missing.so");
    EXPECT_TRUE(log.Log().Contains("Hadoop acl and xattr will not be backed up or restore."));
    EXPECT_EQ(hadoop.get("/", false, nullptr), 0);
    EXPECT_EQ(hadoop.recordCount(), 0u);
    // Its attribute check asks the cluster's configuration tool.
    ScopedTempDir bin;
    WriteFile(bin / "hdfs", "#!/bin/sh\necho true\n");
    ::chmod((bin / "hdfs").c_str(), 0755);
    const std::string oldPath = std::getenv("PATH");
    ::setenv("PATH", (bin.Path() + ":" + oldPath).c_str(), 1);
    EXPECT_TRUE(hadoop.isXATTRSupported("/"));
    WriteFile(bin / "hdfs", "#!/bin/sh\necho false\n");
    EXPECT_FALSE(hadoop.isXATTRSupported("/"));
    ::setenv("PATH", oldPath.c_str(), 1);

    // NTFS without its library: the device route says so, the rest of the helper works.
    NTFSACLHelper ntfs({"libntfs-3g-missing.so.1"});
    EXPECT_TRUE(log.Log().Contains("Failed to load libntfs-3g.so, error=["));
    EXPECT_FALSE(ntfs.isLibraryLoaded());
    EXPECT_EQ(ntfs.getFromDevice("/dev/null", "/x"), -1);
    EXPECT_EQ(ntfs.lastErrno(), EOPNOTSUPP);
    EXPECT_FALSE(ntfs.isCritical());
    ScopedTempDir dir;
    EXPECT_EQ(ntfs.get(dir.Path().c_str(), false, nullptr), -1);  // not an NTFS mount
    EXPECT_NE(ntfs.lastErrorText().find("ACL not supported"), std::string::npos);

    NoACLHelper off;
    std::string buffer;
    EXPECT_EQ(off.get(dir.Path().c_str(), buffer, false, nullptr), 0);
    EXPECT_TRUE(buffer.empty());
}

// A real NTFS volume: an image made by mkntfs, mounted by ntfs-3g through FUSE.
class NtfsVolume {
public:
    NtfsVolume() {
        if (!IsRoot() || Shell("command -v mkntfs >/dev/null && command -v ntfs-3g >/dev/null") != 0) return;
        m_image = m_dir / "ntfs.img";
        m_mount = m_dir / "mnt";
        ::mkdir(m_mount.c_str(), 0755);
        if (Shell("truncate -s 8M '" + m_image + "' && mkntfs -F -Q -q '" + m_image + "' >/dev/null 2>&1") != 0) return;
        m_ok = Mount();
    }
    ~NtfsVolume() { Unmount(); }
    bool Mount() { return m_mounted = Shell("ntfs-3g '" + m_image + "' '" + m_mount + "' >/dev/null 2>&1") == 0; }
    void Unmount() {
        if (m_mounted) Shell("umount '" + m_mount + "'");
        m_mounted = false;
    }
    bool ok() const { return m_ok; }
    const std::string& image() const { return m_image; }
    const std::string& mount() const { return m_mount; }

private:
    ScopedTempDir m_dir;
    std::string m_image, m_mount;
    bool m_ok = false, m_mounted = false;
};

// A self-relative descriptor's owner, group, SACL and DACL, whatever order they are stored in.
std::string Canonical(const std::string& sd) {
    if (sd.size() < 20) return "short";
    auto u32 = [&](size_t at) {
        uint32_t v;
        std::memcpy(&v, sd.data() + at, 4);
        return le32toh(v);
    };
    auto part = [&](size_t offsetField, bool isSid) -> std::string {
        const uint32_t at = u32(offsetField);
        if (at == 0 || at + 4 > sd.size()) return "-";
        const size_t len = isSid ? 8 + 4 * static_cast<unsigned char>(sd[at + 1])
                                 : (static_cast<unsigned char>(sd[at + 2]) | static_cast<unsigned char>(sd[at + 3]) << 8);
        return sd.substr(at, len);
    };
    return part(4, true) + "|" + part(8, true) + "|" + part(12, false) + "|" + part(16, false);
}

TEST(ZyFsACL, RootOnlyNtfsDescriptorsThroughTheMountAndTheDevice) {
    NtfsVolume volume;
    if (!volume.ok()) GTEST_SKIP() << "needs root, mkntfs and ntfs-3g (FUSE) to mount an NTFS image";
    NTFSACLHelper h;
    if (!h.isLibraryLoaded()) GTEST_SKIP() << "libntfs-3g is not installed";
    WriteFile(volume.mount() + "/a.txt", "a");
    WriteFile(volume.mount() + "/b.txt", "b");
    ASSERT_EQ(h.get((volume.mount() + "/a.txt").c_str(), false, nullptr), 0) << h.lastErrorText();
    ASSERT_EQ(h.recordCount(), 1u);
    const std::string sdA(reinterpret_cast<const char*>(h.record(0).data()), h.record(0).payloadSize());
    EXPECT_EQ(NtfsAcl(volume.mount() + "/a.txt"), sdA);
    EXPECT_TRUE(h.DoesBackupHaveACL());

    // A descriptor of our own for b: a's, with full control cut to read.
    std::string sdRead = sdA;
    const size_t mask = sdRead.find(std::string("\xFF\x01\x1F\x00", 4));
    ASSERT_NE(mask, std::string::npos);
    sdRead.replace(mask, 4, std::string("\x89\x00\x12\x00", 4));
    DirFd d(volume.mount());
    NTFSACLHelper writer;
    writer.addRecord(RECORD_NTFS_SD, 0, 1, static_cast<uint32_t>(sdRead.size())).setData(sdRead.data(), sdRead.size());
    std::string readBuffer;
    ASSERT_GT(writer.toNetworkBuffer(readBuffer), 0);
    ASSERT_EQ(writer.setAt(d.fd, "b.txt", readBuffer), 0) << writer.lastErrorText();
    EXPECT_EQ(Canonical(NtfsAcl(volume.mount() + "/b.txt")), Canonical(sdRead));

    // Through a folder descriptor: a's descriptor read and put back onto b.
    std::string buffer;
    ASSERT_EQ(h.getAt(d.fd, "a.txt", buffer), 0) << h.lastErrorText();
    ASSERT_EQ(writer.setAt(d.fd, "b.txt", buffer), 0) << writer.lastErrorText();
    EXPECT_EQ(Canonical(NtfsAcl(volume.mount() + "/b.txt")), Canonical(sdA));

    // A damaged descriptor is refused by the library's own check.
    std::string bad = buffer;
    bad[16] = 9;  // revision
    EXPECT_EQ(writer.setAt(d.fd, "b.txt", bad), -1);
    EXPECT_EQ(Canonical(NtfsAcl(volume.mount() + "/b.txt")), Canonical(sdA));

    // The same volume unmounted: the library reads and writes it by its device.
    ::close(d.fd);
    d.fd = -1;
    volume.Unmount();
    ASSERT_EQ(h.getFromDevice(volume.image(), "/a.txt"), 0) << h.lastErrorText();
    ASSERT_EQ(h.recordCount(), 1u);
    EXPECT_EQ(Canonical(std::string(reinterpret_cast<const char*>(h.record(0).data()), h.record(0).payloadSize())),
              Canonical(sdA));
    h.clearRecords();
    h.addRecord(RECORD_NTFS_SD, 0, 1, static_cast<uint32_t>(sdRead.size())).setData(sdRead.data(), sdRead.size());
    ASSERT_EQ(h.setOnDevice(volume.image(), "/b.txt"), 0) << h.lastErrorText();
    EXPECT_EQ(h.getFromDevice(volume.image(), "/missing"), -1);
    EXPECT_EQ(h.lastErrno(), ENOENT);
    ASSERT_TRUE(volume.Mount());
    EXPECT_EQ(Canonical(NtfsAcl(volume.mount() + "/b.txt")), Canonical(sdRead));
}

}  // namespace
