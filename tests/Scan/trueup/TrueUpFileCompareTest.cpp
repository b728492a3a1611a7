// The comparison of two flat TrueUp DirChange files written by hand: the rules that only the
// field text carries (added to collect), and files that must not be compared.
#include <gtest/gtest.h>

#include "TrueUpRecordingCallback.h"
#include "scan/trueup/TrueUpBrowseHandler.h"
#include "support/TestSupport.h"

namespace {

class TrueUpFileCompare : public ::testing::Test {
protected:
    std::unique_ptr<CTrueUpBrowseHandler> Handler() {
        auto handler = std::make_unique<CTrueUpBrowseHandler>(1, 2, 33, 4, 0, 0, "c", "s", 0,
                                                              EDirChangeMethod::DIRCHANGE_METHOD_FILE);
        handler->SetTrueUpDirChangeFileName(dir / "TrueUp.dc");
        handler->SetComparisonDirChangeFileName(dir / "Comparison.dc");
        return handler;
    }
    CKoError Run(const std::string& trueUp, const std::string& comparison, std::vector<std::string>& lines,
                 bool decisionPoints = false) {
        testsupport::WriteFile(dir / "TrueUp.dc", trueUp);
        testsupport::WriteFile(dir / "Comparison.dc", comparison);
        auto differences = std::make_shared<CRecordingDifferences>();
        CKoError e = Handler()->EnumerateDifferences(
            std::make_shared<CTrueUpCompareOptions>(decisionPoints, false, false, false, false), differences, nullptr);
        lines = differences->Lines();
        reasons.clear();
        for (const auto& entry : differences->entries) reasons.push_back(entry.item.GetReason());
        return e;
    }
    testsupport::ScopedTempDir dir;
    std::vector<std::string> reasons;
};

const std::string kSame = "|<LWT>100|<CTIME>200|<SIZE>5|<SCF>0|<STUB>0";

TEST_F(TrueUpFileCompare, RulesThatTheFieldTextCarries) {
    const std::string trueUp = "Version2\n/\n/d/\n\tsame" + kSame + "\n\tgrown" + kSame + "\n\tmail.PST" + kSame +
                               "\n\tcollected" + kSame + "\n\tgone" + kSame + "\n";
    const std::string comparison = "/d/\n\tsame" + kSame + "\n\tgrown|<LWT>150|<CTIME>200|<SIZE>5|<SCF>0|<STUB>0" +
                                   "\n\tmail.PST|<SIZE>99\n\tcollected|<IS>1|<SIZE>99\n\tnew.pst" + kSame +
                                   "\n\tscf|<SCF>1\n\tadded|<IS>1\n";
    std::vector<std::string> lines;
    CKoError e = Run(trueUp, comparison, lines, true);
    ASSERT_TRUE(e.IsSuccess()) << e.AsString();
    EXPECT_EQ(lines, (std::vector<std::string>{"D /d/gone", "M /d/grown", "N /d/new.pst"}));
    EXPECT_EQ(reasons, (std::vector<std::string>{"TrueUp(Delete)", "TrueUp()", "TrueUp(New)"}));
}

TEST_F(TrueUpFileCompare, DamagedOrMissingFilesAreRefused) {
    std::vector<std::string> lines;
    // A line torn by the end of the file, in either record: nothing is compared.
    CKoError e = Run("/d/\n\ta" + kSame + "\n", "/d/\n\ta" + kSame + "\n\tb|<SIZE", lines);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_DATA)) << e.AsString();
    EXPECT_NE(e.AsString().find("The DirChange file is damaged"), std::string::npos);
    EXPECT_TRUE(lines.empty());
    e = Run("/d/\n\ta" + kSame + "\nrelative/\n\tb\n", "/d/\n\ta" + kSame + "\n", lines);
    EXPECT_NE(e.AsString().find("The DirChange file is damaged"), std::string::npos) << e.AsString();
    EXPECT_TRUE(lines.empty());

    std::remove((dir / "Comparison.dc").c_str());
    auto differences = std::make_shared<CRecordingDifferences>();
    e = Handler()->EnumerateDifferences(nullptr, differences, nullptr);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_PARAMETER));
    EXPECT_NE(e.AsString().find("Comparison DirChange file does not exist, FileName=["), std::string::npos);
}

}  // namespace
