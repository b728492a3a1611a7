#include <gtest/gtest.h>

#include <string>

#include "scan/collect/CollectFileSort.h"
#include "core/FaultInjectionEnv.h"
#include "support/TestSupport.h"

namespace {

using testsupport::ReadFile;
using testsupport::WriteFile;

// Lines here use the start characters "?*?" (path under a mount point); the sort does not care.
class CollectFileSortTest : public ::testing::Test {
protected:
    std::string Sort(const std::string& input, CKoError (CCollectFileSort::*how)()) {
        WriteFile(m_dir / "in.zyf", input);
        CCollectFileSort sort(m_dir / "in.zyf", m_dir / "out.zyf");
        CKoError e = (sort.*how)();
        EXPECT_TRUE(e.IsSuccess()) << e.AsString();
        EXPECT_NE(testsupport::Shell("test -e '" + m_dir / "out.zyf.tmp" + "'"), 0);
        return ReadFile(m_dir / "out.zyf");
    }

    testsupport::ScopedTempDir m_dir;
};

TEST_F(CollectFileSortTest, ByDepthParentsFirstEqualDepthsInInputOrder) {
    EXPECT_EQ(Sort("?*?/a/b/|<DIR>\r\n"
                   "?*?/a/?|<DIR>\n"
                   "?*?/a/b/c|<FILE>\n"
                   "?*?/z/|<DIR>\n"
                   "?*?/|<DIR>\n"
                   "?*?/a/b/d",  // the last line has no line feed
                   &CCollectFileSort::SortByDepth),
              "?*?/|<DIR>\n"
              "?*?/a/?|<DIR>\n"
              "?*?/z/|<DIR>\n"
              "?*?/a/b/|<DIR>\n"
              "?*?/a/b/c|<FILE>\n"
              "?*?/a/b/d\n");
}

TEST_F(CollectFileSortTest, BySequenceOfDepthAndChangeKind) {
    EXPECT_EQ(Sort("?*?/a/b|<DEL>\n"
                   "?*?/a/c|<new>\n"
                   "?*?/a/d|<X>1|<REN>|<NEW>\n"
                   "?*?/a/e\n"
                   "?*?/a/|<UNEW>\n"
                   "?*?/a/f|<REP>\n"
                   "?*?/a/g||<DEL>\n",
                   &CCollectFileSort::SortBySequence),
              "?*?/a/|<UNEW>|<SEQUENCE>10\n"
              "?*?/a/e|<SEQUENCE>12\n"
              "?*?/a/g||<DEL>|<SEQUENCE>12\n"
              "?*?/a/f|<REP>|<SEQUENCE>13\n"
              "?*?/a/d|<X>1|<REN>|<NEW>|<SEQUENCE>14\n"
              "?*?/a/b|<DEL>|<SEQUENCE>15\n"
              "?*?/a/c|<new>|<SEQUENCE>17\n");
}

TEST_F(CollectFileSortTest, ByUsnFirstUsnTagCounts) {
    EXPECT_EQ(Sort("?*?/a|<USN>30\n?*?/b\n?*?/c|<usn>0x10|<USN>5\n?*?/d|<DEPTH>1|<USN>30\n",
                   &CCollectFileSort::SortByUsn),
              "?*?/b\n?*?/c|<usn>0x10|<USN>5\n?*?/a|<USN>30\n?*?/d|<DEPTH>1|<USN>30\n");
}

TEST_F(CollectFileSortTest, LongLinesStayWhole) {
    const std::string longLine = "?*?/x/" + std::string(150000, 'y') + "|<FILE>";
    const std::string exact = "?*?/e/" + std::string(65535 - 6, 'e');
    EXPECT_EQ(Sort(longLine + "\n" + exact + "\n?*?/a\n", &CCollectFileSort::SortByDepth),
              "?*?/a\n" + longLine + "\n" + exact + "\n");
}

TEST_F(CollectFileSortTest, EmptyInputGivesEmptyOutput) {
    EXPECT_EQ(Sort("", &CCollectFileSort::SortByUsn), "");
    EXPECT_TRUE(testsupport::Shell("test -f '" + m_dir / "out.zyf" + "'") == 0);
}

TEST_F(CollectFileSortTest, Errors) {
    CCollectFileSort missing(m_dir / "none.zyf", m_dir / "out.zyf");
    CKoError e = missing.SortByDepth();
    ASSERT_TRUE(e.IsError());
    EXPECT_NE(e.AsString().find("zyfopen failed, FileName=[" + m_dir / "none.zyf" + "]"), std::string::npos);
    EXPECT_NE(e.AsString().find("OpenCollectFile failed"), std::string::npos);
    EXPECT_TRUE(FXErrorUtil::IsWin32(missing.MoveToPosition(0), ZyWin32::ERROR_INVALID_HANDLE));
    long long offset = 0;
    EXPECT_TRUE(FXErrorUtil::IsWin32(missing.GetNextLine(nullptr, nullptr, nullptr, &offset),
                                     ZyWin32::ERROR_INVALID_HANDLE));

    WriteFile(m_dir / "in.zyf", "?*?/a/b\n?*?/c|<NEW>|<USN>9\n");
    CCollectFileSort sort(m_dir / "in.zyf", m_dir / "no/such/folder/out.zyf");
    ASSERT_TRUE(sort.OpenCollectFile().IsSuccess());
    e = sort.GetNextLine(nullptr, nullptr, nullptr, nullptr);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_PARAMETER));
    EXPECT_EQ(e.GetMessage(), "Offset pointer is NULL");
    int depth = -1, kind = -1;
    long long usn = -1;
    ASSERT_TRUE(sort.GetNextLine(&depth, nullptr, nullptr, &offset).IsSuccess());
    EXPECT_EQ(depth, 2);
    ASSERT_TRUE(sort.GetNextLine(&depth, &kind, &usn, &offset).IsSuccess());
    EXPECT_EQ(offset, 8);
    EXPECT_EQ(sort.GetCurrentPosition(), 27);
    EXPECT_EQ(kind, CCollectFileSort::CHANGE_NEW);
    EXPECT_EQ(usn, 9);
    EXPECT_TRUE(FXErrorUtil::IsWin32(sort.GetNextLine(&depth, &kind, &usn, &offset), ZyWin32::ERROR_NO_MORE_ITEMS));

    // The caller's file is named, not the temporary beside it.
    e = sort.SortByDepth();
    ASSERT_TRUE(e.IsError());
    EXPECT_NE(e.AsString().find("Failed to open file, FileName=[" + m_dir / "no/such/folder/out.zyf" + "]"),
              std::string::npos)
        << e.AsString();
}

TEST_F(CollectFileSortTest, FullDiskLeavesThePreviousOutputAlone) {
    std::string input;
    for (int i = 0; i < 4000; ++i) input += "?*?/folder/with/a/long/enough/name/" + std::to_string(i) + "\n";
    WriteFile(m_dir / "in.zyf", input);
    const std::string output = m_dir / "out.zyf";
    WriteFile(output, "previous\n");
    FXFaultInjectionEnv env;
    FXScopedEnv scoped(&env);
    env.FailNth(EFaultOp::Write, 2, ENOSPC, true, true);  // the disk fills on the second buffer

    CCollectFileSort sort(m_dir / "in.zyf", output);
    CKoError e = sort.SortByDepth();
    ASSERT_TRUE(e.IsError());
    EXPECT_TRUE(FXErrorUtil::IsErrNo(e, ENOSPC)) << e.AsString();
    EXPECT_EQ(ReadFile(output), "previous\n");
    EXPECT_NE(testsupport::Shell("test -e '" + output + ".tmp'"), 0);
}

}  // namespace
