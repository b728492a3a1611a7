#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/BufferedWritableFile.h"
#include "core/LineReader.h"
#include "support/CountingFaultEnv.h"
#include "support/TestSupport.h"

namespace {

using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

std::vector<std::string> ReadLines(const std::string& path, size_t buffer, size_t maxLine, CKoError& error) {
    FXLineReader reader;
    std::vector<std::string> out;
    error = reader.Open(path, buffer, maxLine);
    while (error.IsSuccess()) {
        std::string_view line;
        bool got = false;
        error = reader.Next(line, got);
        if (!got) break;
        out.emplace_back(line);
    }
    return out;
}

TEST(LineReader, LinesAcrossBufferBoundariesAndTheLastLineWithoutFeed) {
    ScopedTempDir dir;
    std::string text;
    std::vector<std::string> expected;
    for (int i = 0; i < 500; ++i) {
        expected.push_back(std::string(static_cast<size_t>(i % 97), 'a' + i % 26) + "\r");
        text += expected.back() + "\n";
    }
    expected.push_back("");
    text += "\n";
    expected.push_back("tail");
    text += "tail";
    WriteFile(dir / "f", text);
    for (size_t buffer : {64u, 100u, 4096u}) {
        CKoError e;
        EXPECT_EQ(ReadLines(dir / "f", buffer, 1000, e), expected) << buffer;
        EXPECT_TRUE(e.IsSuccess()) << e.AsString();
    }
    // A line longer than allowed is an error, not a reason to hold the whole file.
    CKoError e;
    ReadLines(dir / "f", 64, 50, e);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_DATA)) << e.AsString();
    WriteFile(dir / "empty", "");
    EXPECT_TRUE(ReadLines(dir / "empty", 64, 50, e).empty());
    EXPECT_TRUE(e.IsSuccess());
}

TEST(BufferedWritableFile, WritesInLargePiecesAndKeepsItsFirstFailure) {
    ScopedTempDir dir;
    FXBufferedWritableFile out(64);
    ASSERT_TRUE(out.Open(dir / "f", EWriteMode::Truncate).IsSuccess());
    std::string expected;
    for (int i = 0; i < 100; ++i) {
        std::string line(static_cast<size_t>(i), 'x');
        ASSERT_TRUE(out.AppendLine(line).IsSuccess());
        expected += line + "\n";
    }
    EXPECT_EQ(out.Size(), expected.size());
    ASSERT_TRUE(out.Close().IsSuccess());
    EXPECT_EQ(ReadFile(dir / "f"), expected);
    ASSERT_TRUE(out.Open(dir / "f", EWriteMode::Append).IsSuccess());
    EXPECT_EQ(out.Size(), expected.size());
    ASSERT_TRUE(out.Append("more").IsSuccess());
    ASSERT_TRUE(out.Close().IsSuccess());
    EXPECT_EQ(ReadFile(dir / "f"), expected + "more");

    testsupport::CCountingFaultEnv env;
    FXScopedEnv scoped(&env);
    env.FailAt(3, false);  // open, a first write, then the failure
    ASSERT_TRUE(out.Open(dir / "g", EWriteMode::Truncate).IsSuccess());
    CKoError first;
    for (int i = 0; i < 10 && first.IsSuccess(); ++i) first = out.AppendLine(std::string(40, 'y'));
    EXPECT_TRUE(FXErrorUtil::IsErrNo(first, ENOSPC));
    env.FailAt(0, false);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(out.AppendLine("z"), ENOSPC));  // it sticks
    EXPECT_TRUE(FXErrorUtil::IsErrNo(out.Close(), ENOSPC));
}

}  // namespace
