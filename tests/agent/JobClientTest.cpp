#include <gtest/gtest.h>

#include <algorithm>

#include "agent/JobClient.h"
#include "support/TestSupport.h"

namespace {

TEST(JobClient, EventArgumentsGoWithOneCauseOnly) {
    ZYRecordingBkpJobClient client;
    client.getEvent() << "a" << "" << "c";
    std::vector<int64_t> jobs{7, 9};
    ASSERT_TRUE(client.setPendingCause(42, &jobs, true, 300, 1, 2, 3, true, 4, 5, 6, 7).IsSuccess());
    ASSERT_TRUE(client.setPendingCause(43, nullptr, false, 300, 0, 0, 0, false, 0, 0, 0, 0).IsSuccess());

    auto causes = client.getPendingCauses();
    ASSERT_EQ(causes.size(), 2u);
    EXPECT_EQ(causes[0].args, (std::vector<std::string>{"a", "", "c"}));
    EXPECT_EQ(causes[0].jobList, jobs);
    EXPECT_TRUE(causes[1].args.empty());
    EXPECT_FALSE(causes[1].jobList.has_value());
    EXPECT_TRUE(client.getEvent().getArgs().empty());
}

TEST(JobClient, FileClientAppendsOneReadableLinePerCause) {
    testsupport::ScopedTempDir dir;
    ZYFileBkpJobClient client(dir.Path());
    client.getEvent() << "/data/a\nb" << "x";
    ASSERT_TRUE(client.setPendingCause(1001, nullptr, false, 300, 0, 0, 0, true, 0, 0, 0, 0).IsSuccess());
    client.getEvent() << "second";
    ASSERT_TRUE(client.setPendingCause(1002, nullptr, false, 300, 0, 0, 0, true, 0, 0, 0, 0).IsSuccess());

    EXPECT_EQ(client.getFilePath(), dir / "PendingCauses.txt");
    std::string text = testsupport::ReadFile(client.getFilePath());
    ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
    size_t firstEnd = text.find('\n');
    std::string first = text.substr(0, firstEnd);
    EXPECT_NE(first.find("MessageId=[1001] ArgCount=[2] Args=[/data/a\\nb|x] JobList=[none]"), std::string::npos)
        << first;
    EXPECT_NE(first.find("EventMessageType=[300]"), std::string::npos);
    EXPECT_NE(text.find("MessageId=[1002] ArgCount=[1] Args=[second]", firstEnd), std::string::npos);
}

TEST(JobClient, FileClientReportsAFolderItCannotWrite) {
    testsupport::ScopedTempDir dir;
    ZYFileBkpJobClient client(dir / "missing");
    client.getEvent() << "lost";
    CKoError e = client.setPendingCause(1, nullptr, false, 300, 0, 0, 0, true, 0, 0, 0, 0);
    ASSERT_TRUE(e.IsError());
    EXPECT_NE(e.AsString().find("Cannot open pending causes file"), std::string::npos);
    // A failed cause does not leak its arguments into the next one.
    EXPECT_TRUE(client.getEvent().getArgs().empty());
}

}  // namespace
