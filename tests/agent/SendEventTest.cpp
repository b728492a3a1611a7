#include <gtest/gtest.h>

#include <algorithm>

#include "agent/SendEvent.h"
#include "support/TestSupport.h"

namespace {

TEST(SendEvent, CurrentIsTheLogUntilAnotherIsInstalledAndComesBack) {
    std::shared_ptr<ISendEventInterface> before = ISendEventInterface::Current();
    ASSERT_TRUE(before);
    auto recording = std::make_shared<CRecordingSendEvent>();
    {
        CScopedSendEvent scope(recording);
        EXPECT_EQ(ISendEventInterface::Current(), recording);
        ASSERT_TRUE(ISendEventInterface::Current()->SendEvent(ISendEventInterface::kOutputFileWriteFailed, {"/jr/f"}).IsSuccess());
    }
    EXPECT_EQ(ISendEventInterface::Current(), before);
    auto events = recording->GetEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].eventId, 0x11000028u);
    EXPECT_EQ(events[0].args, std::vector<std::string>{"/jr/f"});

    testsupport::ScopedLogCapture log(0);
    ASSERT_TRUE(before->SendEvent(0x11000028, {"/x"}).IsSuccess());
    EXPECT_TRUE(log.Log().Contains("EventId=[0x11000028] Args=[/x]"));
}

TEST(SendEvent, FileInterfaceAppendsOneLinePerEvent) {
    testsupport::ScopedTempDir dir;
    CFileSendEvent events(dir.Path());
    ASSERT_TRUE(events.SendEvent(0x11000028, {"/a\nb", "c"}).IsSuccess());
    ASSERT_TRUE(events.SendEvent(7, {}).IsSuccess());
    EXPECT_EQ(events.GetFilePath(), dir / "Events.txt");
    std::string text = testsupport::ReadFile(events.GetFilePath());
    ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
    EXPECT_NE(text.find("EventId=[0x11000028] Args=[/a\\nb|c]\n"), std::string::npos) << text;
    EXPECT_NE(text.find("EventId=[0x00000007] Args=[]\n"), std::string::npos) << text;

    CFileSendEvent nowhere(dir / "missing/folder");
    EXPECT_TRUE(nowhere.SendEvent(1, {}).IsError());
}

}  // namespace
