#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <random>

#include "scan/content/ContentMapper.h"
#include "support/TestSupport.h"
#include "scan/content/LiveSyncRepContentMapper.h"

namespace {

using testsupport::ScopedLogCapture;

// A subclient content store with one subclient "c/bs/sc".
class ContentMapperTest : public ::testing::Test {
protected:
    void SetUp() override { settings.Set("Agent", "SubclientConfigDir", dir.Path()); }
    void WriteContent(const std::string& text) {
        ASSERT_EQ(testsupport::Shell("mkdir -p '" + dir.Path() + "/c/bs'"), 0);
        testsupport::WriteFile(dir.Path() + "/c/bs/sc.content", text);
    }
    static std::string Id(int appType) {
        return "client=c;backupset=bs;subclient=sc;appType=" + std::to_string(appType);
    }
    testsupport::ScopedSettings settings;
    testsupport::ScopedTempDir dir;
};

TEST_F(ContentMapperTest, TableFromSubclientContent) {
    WriteContent("/proxy/vol1/\x15/data/\nno delimiter here\n/proxy/vol2\x15/data2\n/proxy/vol1\x15/first\n");
    ScopedLogCapture log;
    ContentMapper mapper;
    ASSERT_EQ(mapper.initialize(Id(25).c_str()), 1);
    EXPECT_TRUE(log.Log().Contains("Failed to find Delimiter in [no delimiter here]"));
    // One trailing "/" goes; a later entry for the same proxy path replaces the earlier one.
    EXPECT_EQ(mapper.GetSourceToLocalMap(),
              (ContentMapperAPI::Map{{"/proxy/vol1", "/first"}, {"/proxy/vol2", "/data2"}}));
    EXPECT_EQ(mapper.initialize("garbage"), 1);  // enabled once, the id is not looked at again

    std::string out;
    EXPECT_EQ(mapper.MakeProxyPathFromHostPath("/first", out), 0);
    EXPECT_EQ(out, "/proxy/vol1");
    EXPECT_EQ(mapper.MakeHostPathFromProxyPath("/proxy/vol2/", out), 0);
    EXPECT_EQ(out, "/data2");
}

TEST_F(ContentMapperTest, RootEntriesAndComponentBoundaries) {
    WriteContent("/\x15/data/\n");
    ContentMapper mapper;
    ASSERT_EQ(mapper.initialize(Id(87).c_str()), 1);
    EXPECT_EQ(mapper.GetSourceToLocalMap(), (ContentMapperAPI::Map{{"", "/data"}}));

    ScopedLogCapture log;
    std::string out;
    EXPECT_EQ(mapper.MakeProxyPathFromHostPath("/data/a", out), 0);
    EXPECT_EQ(out, "/a");
    EXPECT_EQ(mapper.MakeProxyPathFromHostPath("/data", out), 0);
    EXPECT_EQ(out, "/");
    EXPECT_EQ(mapper.MakeHostPathFromProxyPath("/a/b", out), 0);
    EXPECT_EQ(out, "/data/a/b");

    EXPECT_EQ(mapper.MakeProxyPathFromHostPath("/data2/x", out), -2);
    EXPECT_EQ(out, "/data2/x");
    EXPECT_TRUE(log.Log().Contains("Its a child... Nothing. Just continue"));
    // A success does not reset the last error.
    EXPECT_EQ(mapper.MakeProxyPathFromHostPath("/data/x", out), 0);
    std::string text;
    mapper.GetLastError(text);
    EXPECT_EQ(text, "Failed to look up host/proxy base");
}

TEST_F(ContentMapperTest, InitializeFailuresLeaveItDisabled) {
    ScopedLogCapture log;
    EXPECT_EQ(ContentMapper().initialize("garbage"), 0);
    EXPECT_TRUE(log.Log().Contains("Failed to get ApplicationId. idString[garbage]"));
    EXPECT_EQ(ContentMapper().initialize("appType=40"), 0);
    EXPECT_TRUE(log.Log().Contains("AppManager get of Subclient config failed"));
    EXPECT_EQ(ContentMapper().initialize(Id(40).c_str()), 0);  // no content file
    EXPECT_TRUE(log.Log().Contains("Get Files failed"));
    WriteContent("/only/without/delimiter\n");
    EXPECT_EQ(ContentMapper().initialize(Id(40).c_str()), 0);
}

TEST_F(ContentMapperTest, DisabledMapperCopiesInputAndFails) {
    WriteContent("/p\x15/h\n");
    ScopedLogCapture log;
    ContentMapper mapper;
    EXPECT_EQ(mapper.initialize(Id(29).c_str()), 0);  // another application type: the content is not read
    EXPECT_TRUE(mapper.GetSourceToLocalMap().empty());

    std::string out, text;
    EXPECT_EQ(mapper.MakeProxyPathFromHostPath("/h/x", out), -2);
    EXPECT_EQ(out, "/h/x");
    mapper.GetLastError(text);
    EXPECT_EQ(text, "Mapping not enabled or bad input parameter");
    EXPECT_EQ(mapper.MakeHostPathFromProxyPath("/p/x", out), -2);
    EXPECT_EQ(out, "/p/x");
    mapper.GetLastError(text);
    EXPECT_EQ(text, "Mapping not enabled or Bad Parameter");
    EXPECT_TRUE(log.Log().Contains("ERROR_CANT_CONVERT_PROXY_TO_HOST"));

    char buf[16];
    EXPECT_EQ(mapper.MakeProxyPathFromHostPath("/h/x", buf, sizeof buf), -2);
    EXPECT_STREQ(buf, "/h/x");
    EXPECT_EQ(mapper.MakeProxyPathFromHostPath(nullptr, buf, sizeof buf), -2);
    EXPECT_STREQ(buf, "");
}

TEST(ContentMapper, BufferForms) {
    CLiveSyncRepContentMapper mapper;
    ASSERT_TRUE(mapper.Initialize().IsSuccess());
    mapper.AddContentMapEntry("/data", "/proxy/vol1", 0);

    char buf[32] = "/data/a/b";
    EXPECT_EQ(mapper.MakeProxyPathFromHostPath(buf, buf, sizeof buf), 0);  // in place
    EXPECT_STREQ(buf, "/proxy/vol1/a/b");

    // "/proxy/vol1/a/b" is 15 bytes: 15 leaves no room for the NUL.
    EXPECT_EQ(mapper.MakeProxyPathFromHostPath("/data/a/b", buf, 15), -2);
    EXPECT_STREQ(buf, "");
    std::string text;
    mapper.GetLastError(text);
    EXPECT_EQ(text, "Output buffer too small");
    EXPECT_EQ(mapper.MakeProxyPathFromHostPath("/data/a/b", buf, 16), 0);
    EXPECT_STREQ(buf, "/proxy/vol1/a/b");
}

TEST(ContentMapper, ListsAndEntriesFromACallersList) {
    ScopedLogCapture log;
    ContentMapper mapper;
    mapper.SetSourceToLocalMap({{"/old", "/gone"}});
    ContentMapperAPI::PathList entries{"/p1/\x15/h1/", "missing", "/a/b\x15/h2"};
    mapper.SetProxyToHostMap(&entries);
    EXPECT_TRUE(log.Log().Contains("Failed to find delimiter in [missing]"));
    // Trailing "/" kept, table not cleared.
    EXPECT_EQ(mapper.GetSourceToLocalMap(),
              (ContentMapperAPI::Map{{"/a/b", "/h2"}, {"/old", "/gone"}, {"/p1/", "/h1/"}}));

    mapper.SetSourceToLocalMap({{"/a/b/c", "h"}, {"x/y", "h"}, {"", "h"}, {"/z", "h"}});
    ContentMapperAPI::PathList ancestors;
    EXPECT_EQ(mapper.GetHostPathsForDirChange(&ancestors), 0);
    EXPECT_EQ(ancestors, (ContentMapperAPI::PathList{"/a/b", "/a", "", "", "x/", ""}));
    EXPECT_TRUE(log.Log().Contains("This point should never be reached"));
}

TEST(ContentMapper, StripAndReadLine) {
    ContentMapper mapper;
    std::string s = "abc\t\n\n\t";
    mapper.ProxyStripEOL(s);
    EXPECT_EQ(s, "abc");

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const std::string data = "xy\nlong line\ncd";
    ASSERT_EQ(::write(fds[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
    ::close(fds[1]);
    char buf[8];
    // A line feed read as the max-th byte still gets its NUL (buf holds max + 1).
    EXPECT_EQ(mapper.ProxyReadLine(fds[0], buf, 3), 2);
    EXPECT_EQ(std::string(buf, 4), std::string("xy\n\0", 4));
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(mapper.ProxyReadLine(fds[0], buf, 4), 4);  // no line feed within max: unterminated
    EXPECT_EQ(std::string(buf, 5), "long#");
    EXPECT_EQ(mapper.ProxyReadLine(fds[0], buf, 7), 5);
    EXPECT_EQ(mapper.ProxyReadLine(fds[0], buf, 7), 2);  // "cd" at the end of the stream
    testing::internal::CaptureStdout();
    EXPECT_EQ(mapper.ProxyReadLine(fds[0], buf, 7), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Nothing read\n");
    ::close(fds[0]);
}

TEST(ContentMapperDeathTest, ReadErrorEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ContentMapper mapper;
    char buf[4];
    EXPECT_EXIT(mapper.ProxyReadLine(-1, buf, 3), ::testing::ExitedWithCode(2), "read\\(\\)");
}

// Random tables whose host bases do not nest and whose proxy bases do not nest: then every
// path below a host base maps to a proxy path that maps back to it, and names that only share a
// prefix with a base ("/h/ab" for "/h/a") never match.
TEST(ContentMapper, RandomTablesRoundTrip) {
    std::mt19937 rng(20240611);
    const char* names[] = {"a", "ab", "a b", "b", "a-", "a.b"};
    auto component = [&] { return std::string(names[rng() % 6]); };
    for (int round = 0; round < 300; ++round) {
        CLiveSyncRepContentMapper mapper;
        ASSERT_TRUE(mapper.Initialize().IsSuccess());
        std::vector<std::pair<std::string, std::string>> bases;  // host, proxy
        int count = 1 + rng() % 5;
        for (int i = 0; i < count; ++i) {
            std::string host = "/h/" + component();
            if (rng() % 2) host += "/" + component();
            bool nests = false;
            for (auto& b : bases) {
                const std::string& o = b.first;
                auto under = [](const std::string& x, const std::string& y) {
                    return x == y || x.compare(0, y.size() + 1, y + "/") == 0;
                };
                nests |= under(host, o) || under(o, host);
            }
            if (nests) continue;
            std::string proxy = "/p/v" + std::to_string(bases.size());
            if (rng() % 2) proxy += "/" + component();
            mapper.AddContentMapEntry(host, proxy, 0);
            bases.emplace_back(host, proxy);
        }
        for (int n = 0; n < 40; ++n) {
            const auto& base = bases[rng() % bases.size()];
            std::string rest;
            for (int depth = rng() % 3; depth > 0; --depth) rest += "/" + component();
            std::string host = base.first + rest;
            std::string proxy, back;
            ASSERT_EQ(mapper.MakeProxyPathFromHostPath(host + (rng() % 4 == 0 ? "/" : ""), proxy), 0) << host;
            ASSERT_EQ(proxy, base.second + rest);
            ASSERT_EQ(mapper.MakeHostPathFromProxyPath(proxy, back), 0) << proxy;
            ASSERT_EQ(back, host);

            // A sibling whose name only extends the base's last component is not mapped.
            std::string sibling = base.first + "x" + rest;
            bool under = false;
            for (auto& b : bases) under |= sibling == b.first || sibling.rfind(b.first + "/", 0) == 0;
            if (!under) {
                ASSERT_EQ(mapper.MakeProxyPathFromHostPath(sibling, proxy), -2) << sibling;
                ASSERT_EQ(proxy, sibling);
            }
        }
    }
}

}  // namespace
