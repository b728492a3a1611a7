#include <gtest/gtest.h>

#include "agent/FileScanMessages.h"

namespace {

using namespace FileScan;

CollectInfo SampleInfo() {
    CollectInfo info;
    DiskCollectInfo disk;
    disk.name = "UnknownPhysicalMedia";
    disk.preferred = true;
    disk.volumes.push_back({"/data", {{"/jr/NumColInc1.zyf", COLLECT_FILE_TYPE_REGULAR},
                                      {"/jr/NumColInc2.zyf", COLLECT_FILE_TYPE_FILE_EXTENT}}});
    // Bytes XML cannot carry, and the escape character itself, must come back unchanged.
    disk.volumes.push_back({std::string("/mnt/caf\xe9 100%\t\x01/"), {}});
    info.disks.push_back(disk);
    DiskCollectInfo nas;
    nas.name = "//filer/share";
    nas.isUnc = true;
    info.disks.push_back(nas);
    info.components.push_back({"SystemState", true, {{"/jr/NumColInc9.zyf", COLLECT_FILE_TYPE_SECONDARY}}});
    info.components.push_back({"Registry <&\">", false, {}});
    return info;
}

std::string Message(const std::string& body, const std::string& id = "39") {
    return "<Message id=\"" + id + "\" type=\"FileScan::CollectInfo\">" + body + "</Message>";
}

TEST(FileScanMessages, CollectInfoRoundTripsEveryField) {
    CollectInfo info = SampleInfo();
    std::string text;
    ASSERT_TRUE(info.SerializeToString(text).IsSuccess());
    EXPECT_NE(text.find("<Message id=\"39\" type=\"FileScan::CollectInfo\">"), std::string::npos) << text;
    EXPECT_NE(text.find("/mnt/caf%E9 100%25%09%01/"), std::string::npos) << text;

    CollectInfo back;
    ASSERT_TRUE(back.ParseFromString(text).IsSuccess());
    EXPECT_EQ(back, info);
    EXPECT_TRUE(back.disks[0].preferred);
    EXPECT_TRUE(back.disks[1].isUnc);
    EXPECT_FALSE(back.components[1].useThreadPool);

    CollectInfo empty;
    ASSERT_TRUE(empty.SerializeToString(text).IsSuccess());
    ASSERT_TRUE(back.ParseFromString(text).IsSuccess());
    EXPECT_EQ(back, empty);
}

TEST(FileScanMessages, EscapingKeepsValidUtf8AndEscapesTheRest) {
    const std::string text = "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";  // é € and an emoji stay as they are
    EXPECT_EQ(EncodeMessageText(text), text);
    // Overlong, surrogate, truncated and non-character sequences are bytes, not characters.
    EXPECT_EQ(EncodeMessageText("\xc0\xaf"), "%C0%AF");
    EXPECT_EQ(EncodeMessageText("\xed\xa0\x80"), "%ED%A0%80");
    EXPECT_EQ(EncodeMessageText("a\xe2\x82"), "a%E2%82");
    EXPECT_EQ(EncodeMessageText("\xef\xbf\xbe"), "%EF%BF%BE");

    std::string bytes;
    EXPECT_TRUE(DecodeMessageText("%41%e9", bytes));
    EXPECT_EQ(bytes, "A\xe9");
    EXPECT_FALSE(DecodeMessageText("50%", bytes));
    EXPECT_FALSE(DecodeMessageText("50%2", bytes));
    EXPECT_FALSE(DecodeMessageText("%G1", bytes));
}

TEST(FileScanMessages, MalformedCollectInfoIsRefusedAndLeavesTheContent) {
    CollectInfo info = SampleInfo();
    auto refuses = [&](const std::string& text, const std::string& what) {
        CKoError e = info.ParseFromString(text);
        EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_DATA)) << text << " -> " << e.AsString();
        EXPECT_NE(e.AsString().find(what), std::string::npos) << e.AsString();
    };
    refuses(Message("", "40"), "Unknown message id, Id=[40], Expected=[39]");
    refuses(Message("", "x"), "MessageId=[x]");
    refuses("<Message id=\"39\" type=\"FileScan::Other\"/>", "MessageType=[FileScan::Other]");
    refuses("<Msg id=\"39\" type=\"FileScan::CollectInfo\"/>", "Root=[Msg]");
    refuses(Message("<Volume path=\"/a\"/>"), "UnexpectedElement=[Volume in Message]");
    refuses(Message("<Disk name=\"d\" isUnc=\"0\" preferred=\"0\"><Collect path=\"/a\" type=\"0\"/></Disk>"),
            "UnexpectedElement=[Collect in Disk]");
    refuses(Message("<Disk name=\"d\" isUnc=\"0\"/>"), "BadOrMissingAttribute=[Disk/@preferred]");
    refuses(Message("<Disk name=\"d\" isUnc=\"maybe\" preferred=\"0\"/>"), "BadOrMissingAttribute=[Disk/@isUnc]");
    refuses(Message("<Component name=\"c\" useThreadPool=\"1\"><Collect path=\"/a\" type=\"-1\"/></Component>"),
            "BadOrMissingCollectType=[/a]");
    refuses(Message("<Component name=\"c\" useThreadPool=\"1\"><Collect type=\"0\"/></Component>"),
            "MissingAttribute=[Collect/@path]");
    refuses(Message("<Component name=\"c%\" useThreadPool=\"1\"/>"), "BadEscape=[c%]");
    EXPECT_EQ(info, SampleInfo());

    // Text that is not XML at all keeps the parser's own code.
    CKoError e = info.ParseFromString("<Message id=\"39\"");
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_DATA)) << e.AsString();
    e = info.ParseFromString("   ");
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_EMPTY)) << e.AsString();
    EXPECT_EQ(info, SampleInfo());
}

}  // namespace
