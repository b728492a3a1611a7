#include <gtest/gtest.h>

#include <thread>

#include "core/LogWriter.h"
#include "core/TimeStamp.h"
#include "support/TestSupport.h"

namespace {

TEST(CTimeStamp, UnixTimeRoundTripsAndPrintsWithoutDelimiters) {
    CTimeStamp t = CTimeStamp::FromUnixTime(1700000000, 250);
    EXPECT_EQ(t.AsUnixTime(), 1700000000);
    EXPECT_EQ(t.AsString(), "2023-11-14T22:13:20.000250Z");
    EXPECT_EQ(t.AsString().find('|'), std::string::npos);
    EXPECT_LT(t, CTimeStamp::Now());
}

TEST(CTimeCounter, AddsUpIntervals) {
    CTimeCounter c;
    c.Add(std::chrono::milliseconds(2));
    c.Add(std::chrono::milliseconds(4));
    EXPECT_EQ(c.GetCount(), 2u);
    EXPECT_NEAR(c.GetTotalSeconds(), 0.006, 1e-9);
    EXPECT_NE(c.AsString().find("Count=[2]"), std::string::npos);
    EXPECT_NE(c.AsString().find("Max=[4000.000us]"), std::string::npos);
}

TEST(CStopWatch, AccumulatesRunsAndNestedScopesDoNotDoubleCount) {
    CStopWatch w;
    {
        CScanAutoStopWatch outer(&w);
        CScanAutoStopWatch inner(&w);  // already running: no second run
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(w.GetRuns(), 1u);
    EXPECT_GE(w.GetElapsedSeconds(), 0.002);
    CScanAutoStopWatch none(nullptr);
}

TEST(LogWriter, WritesOnlyUpToItsLevelWithFunctionAndLine) {
    testsupport::ScopedLogCapture capture(3);
    int evaluated = 0;
    auto count = [&] { return ++evaluated; };
    ZYLOG(5, "hidden %d", count());
    EXPECT_EQ(evaluated, 0);  // arguments of a suppressed line are not evaluated
    ZYLOG(3, "Name=[%s]", "x");
    ZYLOG_ERROR("failed %d", 1);
    auto lines = capture.Log().Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("TestBody"), std::string::npos);
    EXPECT_NE(lines[0].find("Name=[x]"), std::string::npos);
}

TEST(LogWriter, FileRotatesWhenItGrows) {
    testsupport::ScopedTempDir dir;
    std::string path = dir / "scan.log";
    auto writer = std::make_shared<CLogWriter>(2, path, 1000);
    ASSERT_TRUE(writer->Open().IsSuccess());
    for (int i = 0; i < 50; ++i) writer->WriteLine(1, "f()", i, 0, 0, "line %d %s", i, std::string(40, 'x').c_str());
    std::string current = testsupport::ReadFile(path), old = testsupport::ReadFile(path + ".1");
    EXPECT_FALSE(old.empty());
    EXPECT_LT(current.size(), 1100u);
    EXPECT_NE(current.find("line 49"), std::string::npos);
    EXPECT_NE(current.find("f()(49): "), std::string::npos);
}

}  // namespace
