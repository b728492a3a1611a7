#include <gtest/gtest.h>

#include <random>

#include "scan/content/ProxyContentMapper.h"
#include "support/TestSupport.h"

namespace {

using testsupport::ScopedLogCapture;

std::string ToLocal(CContentMapper& m, const std::string& path) {
    std::string out;
    EXPECT_EQ(m.MakeProxyPathFromHostPath(path, out), 0);
    return out;
}

std::string ToSource(CContentMapper& m, const std::string& path) {
    std::string out;
    EXPECT_EQ(m.MakeHostPathFromProxyPath(path, out), 0);
    return out;
}

class RootMapping : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::WriteFile(dir / "mounts",
                               "/dev/sda1 / ext4 rw 0 0\n/dev/sdb1 /home ext4 rw 0 0\n"
                               "tmpfs /home ext4 rw 0 0\n/dev/sdc1 /snap ext4 rw 0 0\n");
        mapper.SetMountTablePath(dir / "mounts");
    }
    testsupport::ScopedSettings settings;
    testsupport::ScopedTempDir dir;
    CContentMapper mapper;
};

TEST_F(RootMapping, MountPointsMapToThemselves) {
    settings.Set("FileSystemAgent", "nEnableRootVolumeMapperMounts", "1");
    ScopedLogCapture log;
    mapper.SetSourceToLocalMap({{"/", "/snap"}});
    EXPECT_TRUE(log.Log().Contains("nEnableRootVolumeMapperMounts: Local mount table IS added to the mapper"));
    EXPECT_TRUE(log.Log().Contains(" [/home] <=> [/home]"));
    EXPECT_FALSE(log.Log().Contains("duplicate"));  // "/" and the second "/home" are not added again
    EXPECT_TRUE(log.Log().Contains("ContentMapper cache: Disabled"));
    EXPECT_EQ(mapper.GetSourceToLocalMap(),
              (ContentMapperAPI::Map{{"/", "/snap/"}, {"/home", "/home"}, {"/snap", "/snap"}}));

    EXPECT_EQ(ToLocal(mapper, "/home/u/f"), "/home/u/f");
    EXPECT_EQ(ToLocal(mapper, "/home"), "/home");
    EXPECT_EQ(ToLocal(mapper, "/home2/f"), "/snap/home2/f");  // a mount point matches whole names only
    EXPECT_EQ(ToLocal(mapper, "/etc/passwd"), "/snap/etc/passwd");
    EXPECT_EQ(ToLocal(mapper, "/snap/etc/x"), "/snap/etc/x");  // already local
    EXPECT_EQ(ToSource(mapper, "/snap/etc/x"), "/etc/x");
    EXPECT_EQ(ToSource(mapper, "/home/u/f"), "/home/u/f");
    EXPECT_EQ(ToSource(mapper, "/snap"), "/");
    EXPECT_EQ(ToLocal(mapper, "/"), "/snap");
}

TEST_F(RootMapping, MountTableOnlyWhenTheSettingAllows) {
    {
        ScopedLogCapture log;
        mapper.SetSourceToLocalMap({{"/", "/snap/"}});
        EXPECT_TRUE(log.Log().Contains("nEnableRootVolumeMapperMounts: Local mount table IS NOT added to the mapper"));
        EXPECT_EQ(ToLocal(mapper, "/home/u/f"), "/snap/home/u/f");
    }
    settings.Set("FileSystemAgent", "nEnableRootVolumeMapperMounts", "1");
    mapper.SetMountTablePath(dir / "no-such-table");
    ScopedLogCapture log;
    mapper.SetSourceToLocalMap({{"/", "/snap/"}});
    EXPECT_TRUE(log.Log().Contains("ZyMntTab::getAll failed."));
    EXPECT_EQ(mapper.GetSourceToLocalMap().size(), 1u);
    EXPECT_EQ(ToLocal(mapper, "/home/u/f"), "/snap/home/u/f");
}

TEST(ProxyContentMapper, UnconfiguredAndIgnoredPairs) {
    CContentMapper mapper;
    EXPECT_EQ(ToLocal(mapper, "/a/b/"), "/a/b/");

    ScopedLogCapture log;
    mapper.SetSourceToLocalMap({{"", "/x"}, {"/a", ""}, {"/b", "/l/b"}});
    EXPECT_TRUE(log.Log().Contains("MAP []=>[/x] has empty element. Ignoring"));
    EXPECT_TRUE(log.Log().Contains("MAP [/a]=>[] has empty element. Ignoring"));
    EXPECT_EQ(mapper.GetSourceToLocalMap(), (ContentMapperAPI::Map{{"/b/", "/l/b/"}}));
    EXPECT_EQ(ToLocal(mapper, "/b"), "/l/b");  // a path equal to its base, with or without "/"
    EXPECT_EQ(ToLocal(mapper, "/b/"), "/l/b");

    std::string inPlace = "/b/c";  // output and input may be the same string
    EXPECT_EQ(mapper.MakeProxyPathFromHostPath(inPlace, inPlace), 0);
    EXPECT_EQ(inPlace, "/l/b/c");
    EXPECT_EQ(mapper.MakeHostPathFromProxyPath(inPlace, inPlace), 0);
    EXPECT_EQ(inPlace, "/b/c");
}

TEST(ProxyContentMapper, DuplicatesAreReported) {
    ScopedLogCapture log;
    CContentMapper mapper;
    mapper.SetSourceToLocalMap({{"/a", "/x/"}, {"/a/", "/y/"}});
    EXPECT_TRUE(log.Log().Contains("The source path has duplicate elements"));
    EXPECT_EQ(ToLocal(mapper, "/a/f"), "/y/f");
    mapper.SetSourceToLocalMap({{"/a/", "/l/"}, {"/b/", "/l"}});
    EXPECT_TRUE(log.Log().Contains("The local path has duplicate elements"));
}

TEST(ProxyContentMapper, NestedKeysAndTheCache) {
    CContentMapper mapper;
    {
        ScopedLogCapture log;
        mapper.SetSourceToLocalMap({{"/a/", "/la/"}, {"/c/", "/lc/"}});
        EXPECT_TRUE(log.Log().Contains("ContentMapper cache: Enabled"));
    }
    ScopedLogCapture log;
    mapper.SetSourceToLocalMap({{"/a/", "/la/"}, {"/a/b/", "/lab/"}});
    EXPECT_TRUE(log.Log().Contains(
        "ContentMapper cache is disabled because there are nested mountpoints in source volume list"));
    EXPECT_TRUE(log.Log().Contains("ContentMapper cache: Disabled"));
    EXPECT_FALSE(mapper.IsCacheEnabled());
    // Alternating volumes: the outer key matched last must not shadow the inner one.
    EXPECT_EQ(ToLocal(mapper, "/a/x"), "/la/x");
    EXPECT_EQ(ToLocal(mapper, "/a/b/x"), "/lab/x");
    EXPECT_EQ(ToLocal(mapper, "/a/bx"), "/la/bx");
    EXPECT_EQ(ToSource(mapper, "/lab/y"), "/a/b/y");

    mapper.SetSourceToLocalMap({{"/a/", "/la/"}});
    EXPECT_FALSE(mapper.IsCacheEnabled());  // once off, it stays off
}

TEST(ProxyContentMapper, NestedLocalKeysDoNotShadowThroughTheCache) {
    CContentMapper mapper;
    mapper.SetSourceToLocalMap({{"/a/", "/snap/"}, {"/b/", "/snap/b/"}});
    EXPECT_TRUE(mapper.IsCacheEnabled());
    EXPECT_EQ(ToSource(mapper, "/snap/y"), "/a/y");
    EXPECT_EQ(ToSource(mapper, "/snap/b/x"), "/b/x");
    EXPECT_EQ(ToSource(mapper, "/snap/y"), "/a/y");
}

TEST(ProxyContentMapper, BufferForms) {
    CContentMapper mapper;
    mapper.SetSourceToLocalMap({{"/data", "/snap/d"}});
    const std::string expected = "/snap/d/a/b";
    char buf[64];
    EXPECT_EQ(mapper.MakeProxyPathFromHostPath("/data/a/b", buf, static_cast<int>(expected.size())), -1);
    EXPECT_EQ(mapper.MakeProxyPathFromHostPath("/data/a/b", buf, static_cast<int>(expected.size() + 1)), 0);
    EXPECT_EQ(buf, expected);
    EXPECT_EQ(mapper.MakeHostPathFromProxyPath(buf, buf, sizeof buf), 0);  // in place
    EXPECT_STREQ(buf, "/data/a/b");
    EXPECT_EQ(mapper.MakeHostPathFromProxyPath(nullptr, buf, sizeof buf), -1);
}

// Random tables: source keys may nest, local keys do not, and no source path lies in a local
// base. Every path then maps to the base of its most specific source key and back.
TEST(ProxyContentMapper, RandomTablesRoundTrip) {
    std::mt19937 rng(611);
    const char* names[] = {"a", "ab", "a b", "b", "a-", "a.b"};
    auto component = [&] { return std::string(names[rng() % 6]); };
    auto under = [](const std::string& path, const std::string& base) {  // both without trailing "/"
        return base == "/" ? true : path == base || path.rfind(base + "/", 0) == 0;
    };
    for (int round = 0; round < 300; ++round) {
        CContentMapper mapper;
        ContentMapperAPI::Map input;
        std::vector<std::pair<std::string, std::string>> bases;  // source, local; no trailing "/"
        if (rng() % 4 == 0) bases.emplace_back("/", "/l/root");
        for (int i = 0, count = 1 + rng() % 6; i < count; ++i) {
            std::string source = "/s";
            for (int depth = 1 + rng() % 3; depth > 0; --depth) source += "/" + component();
            bool known = false;
            for (auto& b : bases) known |= b.first == source;
            if (known) continue;
            std::string local = "/l/v" + std::to_string(i);
            if (rng() % 2) local += "/" + component();
            bases.emplace_back(source, local);
        }
        for (auto& b : bases) input[b.first + (rng() % 2 && b.first != "/" ? "/" : "")] = b.second + (rng() % 2 ? "/" : "");
        mapper.SetSourceToLocalMap(input);

        for (int n = 0; n < 60; ++n) {
            std::string path = "/s";
            for (int depth = rng() % 5; depth > 0; --depth) path += "/" + component();
            const std::pair<std::string, std::string>* best = nullptr;
            for (auto& b : bases)
                if (under(path, b.first) && (!best || b.first.size() > best->first.size())) best = &b;
            std::string given = path + (rng() % 3 == 0 ? "/" : "");
            std::string local = ToLocal(mapper, given);
            if (!best) {
                ASSERT_EQ(local, given);
                continue;
            }
            std::string rest = best->first == "/" ? path : path.substr(best->first.size());
            ASSERT_EQ(local, best->second + rest) << given;
            ASSERT_EQ(ToSource(mapper, local), path) << local;
        }
    }
}

}  // namespace
