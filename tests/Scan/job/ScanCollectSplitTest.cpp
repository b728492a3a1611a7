#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "scan/job/ScanCollectSplit.h"
#include "support/CountingFaultEnv.h"
#include "support/Lines.h"
#include "support/TestSupport.h"

namespace {

using testsupport::Lines;
using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

std::string Text(int lines) {
    std::string text;
    for (int i = 0; i < lines; ++i) text += "/r/f" + std::to_string(i) + "|" + std::to_string(100 + i) + "\n";
    return text;
}

// Every run of the split, each of its operations failing once (a full disk): the lines end up
// once each, either in the whole collect file or across the parts, and the result says which.
TEST(ScanCollectSplit, SplitOrWholeNeverALostOrDuplicatedLine) {
    ScopedTempDir dir;
    const std::string name = "CollectInc1.zyf", path = dir / "CollectInc1.zyf.7.tmp";
    const std::string text = Text(40);
    auto tempOf = [&](const std::string& part) { return dir / (part + ".7.tmp"); };
    testsupport::CCountingFaultEnv env;
    int wholeAfterFailure = 0;
    for (int k = 1;; ++k) {
        SCOPED_TRACE("failure at " + std::to_string(k));
        WriteFile(path, text);
        CScanCollectSplit::SResult result;
        CKoError e;
        {
            env.FailAt(k, false);
            FXScopedEnv scoped(&env);
            e = CScanCollectSplit::Split(name, path, 1, 4, tempOf, result);
        }
        ASSERT_TRUE(e.IsSuccess()) << e.AsString();
        std::vector<std::string> lines;
        for (const auto& part : result.parts)
            for (std::string& l : Lines(ReadFile(part.path))) lines.push_back(std::move(l));
        std::sort(lines.begin(), lines.end());
        std::vector<std::string> expected = Lines(text);
        std::sort(expected.begin(), expected.end());
        ASSERT_EQ(lines, expected);
        ASSERT_EQ(result.parts.front().name, name);
        ASSERT_EQ(result.parts.front().path, path);
        // A failure while tidying up may leave the split's own files: the job's clean-up takes
        // them (they carry the run's temporary name); an undisturbed split leaves none.
        for (const std::string& leftover : CScanCollectSplit::Leftovers(path)) {
            if (!env.Failed()) {
                EXPECT_NE(::access(leftover.c_str(), F_OK), 0) << leftover;
            }
            ::unlink(leftover.c_str());
        }
        if (result.parts.size() == 1) {
            EXPECT_NE(result.report.find("stays whole"), std::string::npos) << result.report;
            ++wholeAfterFailure;
        } else {
            EXPECT_EQ(result.report, "split into " + std::to_string(result.parts.size()) + " parts");
            for (size_t n = 1; n < result.parts.size(); ++n) {
                EXPECT_EQ(result.parts[n].name, "CollectInc1_" + std::to_string(n) + ".zyf");
                EXPECT_EQ(result.parts[n].path, tempOf(result.parts[n].name));
            }
        }
        for (const auto& part : result.parts) ::unlink(part.path.c_str());
        if (!env.Failed()) {
            EXPECT_GE(result.parts.size(), 4u);  // by size each part stops short of its share
            break;
        }
    }
    EXPECT_GT(wholeAfterFailure, 10);

    // One reader, or too few lines for the readers: whole, and said so.
    for (int readers : {1, 8}) {
        WriteFile(path, Text(readers == 1 ? 40 : 1));
        CScanCollectSplit::SResult result;
        ASSERT_TRUE(CScanCollectSplit::Split(name, path, 1, readers, tempOf, result).IsSuccess());
        ASSERT_EQ(result.parts.size(), 1u);
        EXPECT_EQ(result.report.rfind("not split: ", 0), 0u) << result.report;
    }
}

}  // namespace
