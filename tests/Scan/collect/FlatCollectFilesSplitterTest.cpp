#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "scan/collect/CollectFilesInfo.h"
#include "scan/collect/FlatCollectFilesSplitter.h"
#include "support/CountingFaultEnv.h"
#include "support/Lines.h"
#include "support/TestSupport.h"

namespace {

using testsupport::Lines;
using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

class FlatCollectFilesSplitterTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int c = 1; c <= 2; ++c) {
            std::string text;
            for (int i = 0; i < 12; ++i) text += "/r" + std::to_string(c) + "/f" + std::to_string(i) + "|" + std::to_string(i + 1) + "\n";
            m_contents.push_back(text);
            m_collects.push_back(m_dir / ("CollectTot" + std::to_string(c) + ".zyf"));
            for (std::string& l : Lines(text)) m_all.push_back(std::move(l));
        }
        std::sort(m_all.begin(), m_all.end());
    }

    // The description on disk and the collect files it names, as a fresh job would find them.
    void Reset() {
        for (std::string& name : Names()) ::unlink(name.c_str());
        std::shared_ptr<CCollectFilesInfo> info;
        ASSERT_TRUE(CCollectFilesInfo::CreateCollectFileInfo(info).IsSuccess());
        for (size_t i = 0; i < m_collects.size(); ++i) {
            WriteFile(m_collects[i], m_contents[i]);
            FileScan::Collect c{m_collects[i], FileScan::COLLECT_FILE_TYPE_REGULAR};
            ASSERT_TRUE(info->AddDiskCollect("/", c).IsSuccess());
        }
        ASSERT_TRUE(info->SaveToFile(Description()).IsSuccess());
    }
    std::shared_ptr<CCollectFilesInfo> Load() {
        std::shared_ptr<CCollectFilesInfo> info;
        EXPECT_TRUE(CCollectFilesInfo::CreateCollectFileInfo(info).IsSuccess());
        EXPECT_TRUE(info->LoadFromFile(Description()).IsSuccess());
        return info;
    }
    std::vector<std::string> Names() {
        std::vector<std::string> names;
        for (const std::string& c : m_collects)
            for (int n = 1; n <= 8; ++n) names.push_back(CFlatCollectFilesSplitter::PartName(c, n));
        return names;
    }
    // The lines of every collect file the saved description names.
    std::vector<std::string> NamedLines(std::vector<std::string>* named = nullptr) {
        std::vector<std::string> files, lines;
        Load()->GetAllCollects(files);
        for (const std::string& f : files)
            for (std::string& l : Lines(ReadFile(f))) lines.push_back(std::move(l));
        std::sort(lines.begin(), lines.end());
        if (named) *named = files;
        return lines;
    }
    std::string Description() const { return m_dir / "CollectInfoTot.zyf"; }

    ScopedTempDir m_dir;
    std::vector<std::string> m_collects, m_contents, m_all;
};

TEST_F(FlatCollectFilesSplitterTest, EveryCollectSplitAndTheDescriptionNamesTheParts) {
    Reset();
    CFlatCollectFilesSplitter::SOptions options;
    options.readers = 3;
    CFlatCollectFilesSplitter splitter(Load(), Description(), options);
    std::vector<CFlatCollectFilesSplitter::SResult> results;
    ASSERT_TRUE(splitter.SplitAll(m_collects, results).IsSuccess());
    ASSERT_EQ(results.size(), 2u);
    // By size, each part stops short of its share: at least one part per reader.
    std::vector<std::string> expected;
    for (size_t i = 0; i < results.size(); ++i) {
        EXPECT_EQ(results[i].outcome, FlatCollectFileSplit::SPLIT);
        EXPECT_GE(results[i].parts.size(), 3u);
        expected.push_back(m_collects[i]);
        for (size_t n = 1; n < results[i].parts.size(); ++n)
            expected.push_back(CFlatCollectFilesSplitter::PartName(m_collects[i], static_cast<int>(n)));
    }
    std::vector<std::string> named;
    EXPECT_EQ(NamedLines(&named), m_all);
    EXPECT_EQ(named, expected);  // each collect file's parts where it stood
    EXPECT_EQ(CFlatCollectFilesSplitter::PartName("/jr/CollectTot1.zyf", 4), "/jr/CollectTot1_4.zyf");
    EXPECT_EQ(CFlatCollectFilesSplitter::PartName("/jr.d/Collect", 2), "/jr.d/Collect_2");
    for (const std::string& c : m_collects) EXPECT_NE(::access(FlatCollectFileSplit::RecordPath(c).c_str(), F_OK), 0);

    // A collect file the description does not name is refused before anything moves.
    CFlatCollectFilesSplitter other(Load(), Description(), options);
    EXPECT_TRUE(FXErrorUtil::IsWin32(other.SplitAll({m_dir / "Unknown.zyf"}, results), ZyWin32::ERROR_NOT_FOUND));
}

// Each operation fails once, or a crash stops everything from it on; then the next attempt
// recovers. The description on disk always names files that hold every line exactly once.
TEST_F(FlatCollectFilesSplitterTest, AnyFailureOrCrashKeepsTheDescriptionExact) {
    testsupport::CCountingFaultEnv env;
    CFlatCollectFilesSplitter::SOptions options;
    options.readers = 2;
    // Single failures of the split itself are swept in FlatCollectFileSplitTest: every fourth here.
    for (bool crash : {false, true}) {
        for (int k = 1;; k += crash ? 1 : 4) {
            SCOPED_TRACE(std::string(crash ? "crash" : "failure") + " at " + std::to_string(k));
            Reset();
            std::vector<CFlatCollectFilesSplitter::SResult> results;
            CKoError e;
            {
                std::shared_ptr<CCollectFilesInfo> description = Load();
                env.FailAt(k, crash);
                FXScopedEnv scoped(&env);
                CFlatCollectFilesSplitter splitter(description, Description(), options);
                e = splitter.SplitAll(m_collects, results);
            }
            const bool failed = env.Failed();
            if (!failed) {
                ASSERT_TRUE(e.IsSuccess()) << e.AsString();
            }
            // One failure is handled at once; after a crash, the next attempt's Recover first.
            if (!crash) {
                ASSERT_EQ(NamedLines(), m_all);
            }
            CFlatCollectFilesSplitter next(Load(), Description(), options);
            ASSERT_TRUE(next.Recover().IsSuccess());
            ASSERT_EQ(NamedLines(), m_all);
            for (const std::string& c : m_collects) {
                EXPECT_NE(::access(FlatCollectFileSplit::RecordPath(c).c_str(), F_OK), 0);
                EXPECT_NE(::access(FlatCollectFileSplit::TempPath(c).c_str(), F_OK), 0);
            }
            if (!failed) break;
        }
    }
}

}  // namespace
