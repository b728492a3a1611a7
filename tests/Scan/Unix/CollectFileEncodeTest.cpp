#include <gtest/gtest.h>

#include <random>

#include "scan/Unix/CollectFileEncode.h"
#include "support/TestSupport.h"

namespace {

TEST(CollectFileEncode, EscapesTheGrammarBytes) {
    EXPECT_EQ(escapeFileName("a|b%c", false), "a%7Cb%25c");
    EXPECT_EQ(escapeFileName("line\r\nend\x1A", false), "line%0D%0Aend%1A");
    EXPECT_EQ(escapeFileName("plain/name.txt", false), "plain/name.txt");
    EXPECT_EQ(escapeFileName("", false), "");
    EXPECT_EQ(escapeFileName(nullptr, false), "");
    // Without the setting, high bytes and other control bytes pass.
    EXPECT_EQ(escapeFileName("\xC3\xA9\t", false), "\xC3\xA9\t");
    EXPECT_EQ(escapeFileName("\xC3\xA9\t", true), "%C3%A9%09");
}

TEST(CollectFileEncode, DecodeLeavesMalformedEscapesAlone) {
    EXPECT_EQ(decodeFileName("a%7Cb%25c"), "a|b%c");
    EXPECT_EQ(decodeFileName("%c3%A9"), "\xC3\xA9");
    EXPECT_EQ(decodeFileName("%zz"), "%zz");
    EXPECT_EQ(decodeFileName("end%4"), "end%4");
    EXPECT_EQ(decodeFileName("%"), "%");
    EXPECT_EQ(decodeFileName("%%41"), "%A");

    char buf[] = "x%7Cy";
    EXPECT_TRUE(decodeEscapeChars(buf));
    EXPECT_STREQ(buf, "x|y");
    char none[] = "x%zy";
    EXPECT_FALSE(decodeEscapeChars(none));
    EXPECT_STREQ(none, "x%zy");
}

TEST(CollectFileEncode, EveryByteRoundTripsInBothModes) {
    std::mt19937 rng(7);
    for (bool all : {false, true}) {
        for (int round = 0; round < 500; ++round) {
            std::string name;
            size_t length = 1 + rng() % 40;
            for (size_t i = 0; i < length; ++i) name.push_back(static_cast<char>(1 + rng() % 255));
            std::string escaped = escapeFileName(name.c_str(), all);
            EXPECT_EQ(escaped.find_first_of("\r\n|\x1A"), std::string::npos);
            if (all) {
                for (char c : escaped) EXPECT_GT(static_cast<signed char>(c), 0x1F);
            }
            ASSERT_EQ(decodeFileName(escaped.c_str()), name);
        }
    }
}

// The machine setting is read on the first call of the process and kept; this is the only test
// here that uses the form without an explicit mode.
TEST(CollectFileEncode, MachineSettingIsReadOnceAndKept) {
    testsupport::ScopedSettings settings;
    settings.Set("FileSystemAgent", "encodeAllSpecialSymbols", "Yes");
    EXPECT_EQ(escapeFileName("caf\xC3\xA9|"), "caf%C3%A9%7C");
    settings.Set("FileSystemAgent", "encodeAllSpecialSymbols", "no");
    EXPECT_EQ(escapeFileName("caf\xC3\xA9|"), "caf%C3%A9%7C");
}

TEST(CollectFileEncode, LongNamesHaveNoLimit) {
    std::string name(100000, '%');
    std::string escaped = escapeFileName(name.c_str(), false);
    EXPECT_EQ(escaped.size(), 300000u);
    EXPECT_EQ(decodeFileName(escaped.c_str()), name);
}

TEST(CollectFileEncode, HelpersForChecksAndLogs) {
    EXPECT_TRUE(HasSpecialCharacters("a|b"));
    EXPECT_TRUE(HasSpecialCharacters("\xC3\xA9"));
    EXPECT_TRUE(HasSpecialCharacters("tab\t"));
    EXPECT_FALSE(HasSpecialCharacters("plain name"));
    std::string out = "old";
    escapeFileNameToPrint("a%b\r\n|", out);
    EXPECT_EQ(out, "a%25b%0D%0A|");
    EXPECT_TRUE(isXattrFiltered("user.ZyStubFile"));
    EXPECT_FALSE(isXattrFiltered("user.zystubfile"));
    EXPECT_FALSE(isXattrFiltered(nullptr));
}

}  // namespace

namespace {
TEST(CollectFileEncode, EscapingIntoABufferReplacesItsContent) {
    std::string out = "left over from the previous item";
    escapeFileName("a|b", false, out);
    EXPECT_EQ(out, "a%7Cb");
    escapeFileName("plain", false, out);
    EXPECT_EQ(out, "plain");
    escapeFileName(nullptr, false, out);
    EXPECT_EQ(out, "");
}
}  // namespace
