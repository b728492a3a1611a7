#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/StringUtil.h"
#include "scan/dirchange/DirChangeFormatter.h"
#include "scan/dirchange/DirChangeItemData.h"
#include "scan/dirchange/DirChangeItemFlags.h"
#include "scan/dirchange/DirChangeParser.h"
#include "scan/dirchange/PathCache.h"
#include "scan/dirchange/PathCacheCombineFlags.h"

namespace {

using F = BDirChangeItemFlags;

TEST(DirChangeItemFlags, GroupsOnlyTouchTheirOwnBits) {
    F flags(F::PREVIOUSDIRCHANGE | F::PD_FILE);
    flags.Set(F::CD_FILE | F::CURRENTDIRCHANGE, true);
    flags.Set(F::CC_FILE, true);
    flags.Set(F::DIRCHANGE_WRITTEN, true);
    EXPECT_EQ(flags.GetValue(), 0x2233u);
    EXPECT_TRUE(flags.IsSet(F::CURRENTDIRCHANGE | F::CD_FILE));
    EXPECT_FALSE(flags.IsSet(F::CURRENTDIRCHANGE | F::CD_ANCESTOR));
    EXPECT_TRUE(flags.IsClear(F::CD_ANCESTOR | F::CD_INTERMEDIATE));
    EXPECT_FALSE(flags.IsClear(F::CD_ANCESTOR | F::CD_FILE));

    // A value cast into a group loses the bits of other groups before it is used.
    const auto stray = static_cast<F::CURRENT_JOB_FLAGS>(0x0131);
    EXPECT_EQ(F(stray).GetValue(), 0x30u);
    F other(F::PREVIOUSDIRCHANGE);
    other.Set(stray, true);
    EXPECT_EQ(other.GetValue(), 0x31u);
    other.Clear(stray);
    EXPECT_EQ(other.GetValue(), 0x01u);
    EXPECT_TRUE(other.IsSet(static_cast<F::PREVIOUS_JOB_FLAGS>(0x0101)));

    flags.Set(F::CD_FILE, false);
    flags.Clear(F::CC_FILE);
    EXPECT_EQ(flags.GetValue(), 0x2013u);
    EXPECT_TRUE(flags.IsAnySet(F::ACTIVITY_FLAGS_MASK));
    flags.Clear(F::PREVIOUS_JOB_FLAGS_MASK | F::ACTIVITY_FLAGS_MASK);
    EXPECT_EQ(flags.GetValue(), 0x0010u);
    flags |= F::PD_FILE;
    flags |= F(F::CURRENTCOLLECT);
    EXPECT_EQ((flags | F(F::COLLECT_WRITTEN)).GetValue(), 0x1112u);
    EXPECT_EQ(static_cast<uint32_t>(flags), 0x0112u);
}

TEST(DirChangeItemFlags, NamesInDisplayOrder) {
    F flags(0xFFFFu);
    EXPECT_EQ(flags.AsString(),
              "PREVIOUSDIRCHANGE|PD_FILE|CURRENTDIRCHANGE|CD_FILE|CD_INTERMEDIATE|CD_ANCESTOR|CURRENTCOLLECT|"
              "CC_INTERMEDIATE|CC_FILE|COLLECT_WRITTEN|DIRCHANGE_WRITTEN");
    EXPECT_EQ(F(F::CD_ANCESTOR | F::CURRENTDIRCHANGE).AsWstring(), L"CURRENTDIRCHANGE|CD_ANCESTOR");
    EXPECT_EQ(F().AsString(), "");
}

TEST(DirChangeItemFlags, MergeKeepsRealEntriesOutOfTheAncestorState) {
    auto merge = [](F existing, F incoming) { return CombineFlags::OnExists(existing, incoming).GetValue(); };
    EXPECT_EQ(merge(F(F::CD_ANCESTOR | F::CURRENTDIRCHANGE), F(F::CURRENTDIRCHANGE | F::CD_FILE)),
              F(F::CURRENTDIRCHANGE | F::CD_FILE).GetValue());
    EXPECT_EQ(merge(F(F::CURRENTDIRCHANGE | F::CD_FILE), F(F::CD_ANCESTOR)), F(F::CURRENTDIRCHANGE | F::CD_FILE).GetValue());
    EXPECT_EQ(merge(F(F::PREVIOUSDIRCHANGE), F(F::CD_ANCESTOR)), 0x41u);
    // An ancestor entry that is marked an ancestor again stays one.
    EXPECT_EQ(merge(F(F::CD_ANCESTOR), F(F::CD_ANCESTOR)), 0x40u);
    // Without current-job bits the words are simply combined, ancestor bit included.
    EXPECT_EQ(merge(F(F::CD_ANCESTOR), F(F::COLLECT_WRITTEN)), 0x1040u);

    // Through a trie, as the DirChange tree uses it.
    CPathCacheOrderedT<F> trie;
    ASSERT_TRUE(trie.InsertOrUpdate<CombineFlags>("/a", F(F::CD_ANCESTOR)).IsSuccess());
    ASSERT_TRUE(trie.InsertOrUpdate<CombineFlags>("/a", F(F::CURRENTDIRCHANGE)).IsSuccess());
    ASSERT_TRUE(trie.Insert("/a", F(F::PD_FILE)).IsSuccess());  // keeps what is there
    F found;
    EXPECT_EQ(trie.Search("/a", found), EPathCacheResult::FOUND_EXACT);
    EXPECT_EQ(found.GetValue(), 0x10u);
    CStringLineWriter writer;
    trie.DumpDiagnosticData(&writer, "DirChange");
    EXPECT_EQ(writer.Lines().at(1), "DirChange: |==|== a    CURRENTDIRCHANGE");
}

TEST(DirChangeItemFlags, FolderRecordsMergeAlwaysByTheCurrentJobRule) {
    auto existing = std::make_shared<CPathCacheScanData>(F(F::CD_ANCESTOR));
    auto incoming = std::make_shared<CPathCacheScanData>(F(F::PREVIOUSDIRCHANGE));
    const CPathCacheScanDataPtr& kept = CombineFlags::OnExists(existing, incoming);
    EXPECT_EQ(kept, existing);
    EXPECT_EQ(existing->GetFlags().GetValue(), 0x01u);  // the ancestor bit went although no current bit came

    CPathCacheOrderedT<CPathCacheScanDataPtr> trie;
    ASSERT_TRUE(trie.InsertOrUpdate<CombineFlags>("/d", existing).IsSuccess());
    ASSERT_TRUE(trie.InsertOrUpdate<CombineFlags>("/d", std::make_shared<CPathCacheScanData>(F(F::CURRENTDIRCHANGE)))
                    .IsSuccess());
    CPathCacheScanDataPtr found;
    EXPECT_EQ(trie.Search("/d", found), EPathCacheResult::FOUND_EXACT);
    EXPECT_EQ(found, existing);
    EXPECT_EQ(found->GetFlags().GetValue(), 0x11u);
}

std::vector<std::string> FieldsOf(const std::string& line) {
    std::vector<std::string> fields;
    FXString::Split(line.substr(0, line.find("||")), "|", fields);
    return fields;
}

TEST(DirChangeItem, FormatterWritesSetFieldsInOrder) {
    CDirChangeFormatter formatter;
    EXPECT_EQ(formatter.GetFormattedData(std::make_shared<CDirChangeItemDataImpl>(0x1A)), "|<FID>0x000000000000001A");
    auto item = std::make_shared<CDirChangeItemDataImpl>(0xFEDCBA9876543210ull, static_cast<eDirChangeItemBackupFrequency>(3), true);
    item->SetIsDeleted(true);
    item->SetIsAddedToCollect(true);
    EXPECT_EQ(formatter.GetFormattedData(item), "|<D>1|<FID>0xFEDCBA9876543210|<BFQ>3|<SELSYNC>|<IS>1");
    EXPECT_EQ(formatter.GetFormattedData(std::make_shared<CDirChangeItemDataImpl>()), "");
    EXPECT_EQ(formatter.GetFormattedData(FVBasePtr()), "");
    EXPECT_EQ(formatter.GetFormattedData(std::make_shared<FVBase>()), "");
    EXPECT_EQ(formatter.GetFormattedData(std::make_shared<CDirChangeItemBaseInfoImpl>(true)), "|<D>1");

    // The base formatters write less of the same item.
    EXPECT_EQ(CDirChangeItemBaseFormatter().GetFormattedData(item), "|<D>1");
    EXPECT_EQ(CFlatFileIndexFormatter().GetFormattedData(item), "");
}

TEST(DirChangeItem, FieldsParseCaseInsensitivelyWithAutomaticBase) {
    CDirChangeItemDataImpl a(FieldsOf("\tname|<fid>26|<is>1"));
    EXPECT_EQ(a.GetFileId(), 26u);
    EXPECT_TRUE(a.GetIsAddedToCollect());
    EXPECT_FALSE(a.GetIsDeleted());

    EXPECT_EQ(CDirChangeItemDataImpl(FieldsOf("n|<FID>0x1a")).GetFileId(), 26u);
    EXPECT_EQ(CDirChangeItemDataImpl(FieldsOf("n|<FID>032")).GetFileId(), 26u);
    EXPECT_EQ(CDirChangeItemDataImpl(FieldsOf("n|<FID>12abc")).GetFileId(), 12u);
    EXPECT_EQ(CDirChangeItemDataImpl(FieldsOf("n|<FID>zz")).GetFileId(), 0u);

    EXPECT_EQ(CDirChangeItemDataImpl(FieldsOf("n|<BFQ>17")).GetBackupFrequency(), 1);
    EXPECT_EQ(CDirChangeItemDataImpl(FieldsOf("n|<bfq>-1")).GetBackupFrequency(), 15);
    EXPECT_TRUE(CDirChangeItemDataImpl(FieldsOf("n|<SelSync>")).GetIsSelectiveSync());
    EXPECT_FALSE(CDirChangeItemDataImpl(FieldsOf("n|<IS>0")).GetIsAddedToCollect());
    EXPECT_FALSE(CDirChangeItemDataImpl(FieldsOf("n|<IS>")).GetIsAddedToCollect());

    EXPECT_FALSE(CDirChangeItemBaseInfoImpl(FieldsOf("n|<D>0")).GetIsDeleted());
    EXPECT_TRUE(CDirChangeItemBaseInfoImpl(FieldsOf("n|<d>1")).GetIsDeleted());
    EXPECT_FALSE(CDirChangeItemBaseInfoImpl(FieldsOf("n|<D>")).GetIsDeleted());
    // A later field wins; the name is looked at like any element; unknown fields and text after
    // "||" are ignored.
    EXPECT_FALSE(CDirChangeItemDataImpl(FieldsOf("n|<D>1|<D>0")).GetIsDeleted());
    EXPECT_TRUE(CDirChangeItemBaseInfoImpl(FieldsOf("<D>1")).GetIsDeleted());
    CDirChangeItemDataImpl c(FieldsOf("\tn|<DPtim>x|<XYZ>1|<FID>5||<IS>1"));
    EXPECT_EQ(c.GetFileId(), 5u);
    EXPECT_FALSE(c.GetIsAddedToCollect());
}

TEST(DirChangeItem, ParsersBuildTheirItemKinds) {
    std::vector<std::string> fields = FieldsOf("\tn|<D>1|<FID>0x000000000000001A|<BFQ>2|<SELSYNC>|<IS>1");
    FVBasePtr item;
    ASSERT_TRUE(CFlatFileIndexParser().GetItemInfo(item, fields).IsSuccess());
    EXPECT_FALSE(item);

    ASSERT_TRUE(CDirChangeItemBaseParser().GetItemInfo(item, fields).IsSuccess());
    auto base = std::dynamic_pointer_cast<CDirChangeItemBaseInfo>(item);
    ASSERT_TRUE(base);
    EXPECT_TRUE(base->GetIsDeleted());
    EXPECT_FALSE(std::dynamic_pointer_cast<CDirChangeItemData>(item));

    ASSERT_TRUE(CDirChangeParser().GetItemInfo(item, fields).IsSuccess());
    auto data = std::dynamic_pointer_cast<CDirChangeItemData>(item);
    ASSERT_TRUE(data);
    EXPECT_TRUE(data->GetIsDeleted());
    EXPECT_EQ(data->GetFileId(), 0x1Au);
    EXPECT_EQ(data->GetBackupFrequency(), 2);
    EXPECT_TRUE(data->GetIsSelectiveSync());
    EXPECT_TRUE(data->GetIsAddedToCollect());
    // What the formatter writes, the parser reads back.
    EXPECT_EQ("\tn" + CDirChangeFormatter().GetFormattedData(item), "\tn|<D>1|<FID>0x000000000000001A|<BFQ>2|<SELSYNC>|<IS>1");
}

}  // namespace
