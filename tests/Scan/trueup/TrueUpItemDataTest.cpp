#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/KoXml.h"
#include "core/StringUtil.h"
#include "scan/dirchange/DirChangeFormatter.h"
#include "scan/trueup/TrueUpDirChangeFormatter.h"
#include "scan/trueup/TrueUpDirChangeItemDataImpl.h"
#include "scan/trueup/TrueUpDirChangeItemInfoFactory.h"
#include "scan/trueup/TrueUpDirChangeParser.h"
#include "support/TestSupport.h"

namespace {

using Impl = CTrueUpDirChangeItemDataImpl;
const char* const kGuid = "0123abcd-4567-89ef-0123-456789abcdef";

CTimeStamp Unix(long long s) { return CTimeStamp::FromUnixTime(s); }

std::shared_ptr<Impl> Parse(const std::string& text) {
    std::vector<std::string> fields;
    FXString::Split(text, "|", fields);
    FVBasePtr item;
    EXPECT_TRUE(CTrueUpDirChangeParser().GetItemInfo(item, fields).IsSuccess());
    return std::dynamic_pointer_cast<Impl>(item);
}

TEST(TrueUpItemData, FieldTextFollowsTheDirChangeFields) {
    auto item = std::make_shared<Impl>(Unix(100), Unix(200), 42, false, true, 3,
                                       static_cast<eDirChangeItemBackupFrequency>(0));
    EXPECT_EQ(CTrueUpDirChangeFormatter().GetFormattedData(item), "|<LWT>100|<CTIME>200|<SIZE>42|<SCF>1|<CI>3|<STUB>0");

    // Everything set: DirChange fields first, then the TrueUp ones in their order.
    auto full = std::make_shared<Impl>(Unix(-5), Unix(0), 1ull << 40, true, false, -1,
                                       static_cast<eDirChangeItemBackupFrequency>(2), 0x1A, kGuid, true, true);
    full->SetIsDeleted(true);
    EXPECT_EQ(CTrueUpDirChangeFormatter().GetFormattedData(full),
              std::string("|<D>1|<FID>0x000000000000001A|<BFQ>2|<IS>1|<LWT>-5|<CTIME>0|<SIZE>1099511627776|<SCF>0|") +
                  "<SDG>" + kGuid + "|<ACL>1|<STUB>1");

    // A clear modification time and collect field -1 are left out; other data only gets the
    // DirChange fields.
    EXPECT_EQ(CTrueUpDirChangeFormatter().GetFormattedData(std::make_shared<Impl>()), "|<CTIME>0|<SIZE>0|<SCF>0|<STUB>0");
    EXPECT_EQ(CTrueUpDirChangeFormatter().GetFormattedData(std::make_shared<CDirChangeItemDataImpl>(0x1A)),
              "|<FID>0x000000000000001A");
    EXPECT_EQ(CTrueUpDirChangeFormatter().GetFormattedData(nullptr), "");
}

TEST(TrueUpItemData, FieldTextReadsBack) {
    auto full = std::make_shared<Impl>(Unix(1700000000), Unix(1700000001), 77, true, true, 9,
                                       static_cast<eDirChangeItemBackupFrequency>(5), 0xBEEF, kGuid, true, true);
    auto back = Parse("\tname" + CTrueUpDirChangeFormatter().GetFormattedData(full));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->GetLastWriteTime(), full->GetLastWriteTime());
    EXPECT_EQ(back->GetChangeTime(), full->GetChangeTime());
    EXPECT_EQ(back->GetSize(), 77u);
    EXPECT_TRUE(back->GetIsSubclientFile());
    EXPECT_TRUE(back->GetIsAddedToCollect());
    EXPECT_EQ(back->GetCollectField(), 9);
    EXPECT_EQ(back->GetFileId(), 0xBEEFu);
    EXPECT_EQ(back->GetBackupFrequency(), 5);
    EXPECT_EQ(TrueUpGuidText(back->GetDataGuid()), kGuid);
    EXPECT_TRUE(back->GetIsStub());
    EXPECT_TRUE(back->IsACLOnly());
}

TEST(TrueUpItemData, ParsingIsLenient) {
    struct Case {
        const char* text;
        long long lwt, ctime;
        unsigned long long size;
        int collect;
        bool scf, stub, acl;
    };
    const Case cases[] = {
        // Tags in any case, automatic base, numbers read as far as they go.
        {"n|<lwt>0x10|<Ctime>010|<size>12abc|<scf>2|<ci>-7", 16, 8, 12, -7, true, false, false},
        // Collect field keeps the low 32 bits; missing <CI> leaves -1.
        {"n|<CI>4294967297", 0, 0, 0, 1, false, false, false},
        {"n|<SIZE>junk|<LWT>|<STUB>2|<ACL>0", 0, 0, 0, -1, false, false, false},
        {"n|<STUB>1|<ACL>1|<SCF>0", 0, 0, 0, -1, false, true, true},
        // Times beyond what a time stamp holds are clamped rather than overflowing.
        {"n|<LWT>9223372036854775807|<CTIME>-9223372036854775808", 9223372036853, -9223372036853, 0, -1, false, false,
         false},
        // Unknown tags, stray text and empty elements are ignored; the first matching tag wins.
        {"n||<XYZ>5|<SIZE>5|<SIZE>6|garbage|<", 0, 0, 6, -1, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        auto item = Parse(c.text);
        ASSERT_TRUE(item);
        EXPECT_EQ(item->GetLastWriteTime().AsUnixTime(), c.lwt);
        EXPECT_EQ(item->GetChangeTime().AsUnixTime(), c.ctime);
        EXPECT_EQ(item->GetSize(), c.size);
        EXPECT_EQ(item->GetCollectField(), c.collect);
        EXPECT_EQ(item->GetIsSubclientFile(), c.scf);
        EXPECT_EQ(item->GetIsStub(), c.stub);
        EXPECT_EQ(item->IsACLOnly(), c.acl);
    }
}

TEST(TrueUpItemData, GuidText) {
    testsupport::ScopedLogCapture log(-1);
    const char* good[] = {"0123abcd-4567-89ef-0123-456789abcdef", "{0123ABCD-4567-89EF-0123-456789ABCDEF}",
                          "0123abcd456789ef0123456789abcdef"};
    for (const char* text : good) {
        auto item = Parse(std::string("n|<SDG>") + text);
        EXPECT_EQ(TrueUpGuidText(item->GetDataGuid()), kGuid) << text;
    }
    const char* bad[] = {"", "0123abcd-4567-89ef-0123-456789abcde", "{0123abcd-4567-89ef-0123-456789abcdef",
                         "0123abcd-456789ef-0123-4567-89abcdef", "0123abcd-4567-89ef-0123-456789abcdeg"};
    for (const char* text : bad) {
        auto item = Parse(std::string("n|<SDG>") + text);
        EXPECT_TRUE(item->GetDataGuid().is_nil()) << text;
    }
    EXPECT_TRUE(log.Log().Contains("Failed to convert string GUID, GUID=[0123abcd-4567-89ef-0123-456789abcde]"));
    Impl fromConstructor(Unix(1), Unix(2), 3, false, false, std::string("nonsense"), false);
    EXPECT_TRUE(fromConstructor.GetDataGuid().is_nil());
    EXPECT_TRUE(log.Log().Contains("Failed to convert string GUID, Guid=[nonsense]"));
}

TEST(TrueUpItemData, XmlFormIsTheSavedDocumentAndReadsBack) {
    auto full = std::make_shared<Impl>(CTimeStamp::FromUnixTime(1700000000, 123456), Unix(-3), 99, false, true, 4,
                                       static_cast<eDirChangeItemBackupFrequency>(0), 0xABCD, kGuid, true, false);
    for (bool folder : {false, true}) {
        std::string xml;
        ASSERT_TRUE(Impl::AsXml(full, xml, folder).IsSuccess());
        // The text written directly is the one a document with these attributes saves.
        CKoXDocument document;
        CKoXNodePtr root, fs, derived;
        ASSERT_TRUE(document.AppendNode("Metadata", root).IsSuccess());
        ASSERT_TRUE(root->AppendNode("FileSystem", fs).IsSuccess());
        ASSERT_TRUE(fs->SetAttributeLONGLONG("LastWriteTime", full->GetLastWriteTime().AsSystemTime()).IsSuccess());
        ASSERT_TRUE(fs->SetAttributeLONGLONG("ChangeTime", full->GetChangeTime().AsSystemTime()).IsSuccess());
        ASSERT_TRUE(fs->SetAttributeULONGLONG("FileSize", 99).IsSuccess());
        if (folder) {
            ASSERT_TRUE(fs->SetAttributeBOOL("Folder", true).IsSuccess());
        }
        ASSERT_TRUE(fs->SetAttributeString("FileId", "0x000000000000ABCD").IsSuccess());
        ASSERT_TRUE(root->AppendNode("Derived", derived).IsSuccess());
        ASSERT_TRUE(derived->SetAttributeString("StubDataGuid", kGuid).IsSuccess());
        ASSERT_TRUE(derived->SetAttributeBOOL("IsStub", true).IsSuccess());
        ASSERT_TRUE(derived->SetAttributeINT("CollectField", 4).IsSuccess());
        ASSERT_TRUE(derived->SetAttributeBOOL("IsSubclientFile", true).IsSuccess());
        ASSERT_TRUE(derived->SetAttributeBOOL("IsAclOnly", false).IsSuccess());
        std::string saved;
        ASSERT_TRUE(document.SaveAsString(saved, 4 | 8).IsSuccess());
        EXPECT_EQ(xml, saved);

        CTrueUpDirChangeItemDataImplPtr back;
        ASSERT_TRUE(Impl::FromXml(back, xml).IsSuccess());
        EXPECT_EQ(back->GetLastWriteTime(), full->GetLastWriteTime());
        EXPECT_EQ(back->GetChangeTime(), full->GetChangeTime());
        EXPECT_EQ(back->GetSize(), 99u);
        EXPECT_EQ(back->GetFileId(), 0xABCDu);
        EXPECT_EQ(back->GetCollectField(), 4);
        EXPECT_TRUE(back->GetIsSubclientFile());
        EXPECT_TRUE(back->GetIsStub());
        EXPECT_FALSE(back->IsACLOnly());
        EXPECT_EQ(TrueUpGuidText(back->GetDataGuid()), kGuid);
    }
}

TEST(TrueUpItemData, XmlReaderRefusesOrIgnores) {
    testsupport::ScopedLogCapture log(-1);
    CTrueUpDirChangeItemDataImplPtr data;
    CKoError e = Impl::FromXml(data, "<Other/>");
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_PARAMETER));
    EXPECT_NE(e.GetMessage().find("No 'Metadata' node found, Xml=[<Other/>]"), std::string::npos);
    EXPECT_TRUE(Impl::FromXml(data, "<Metadata><FileSystem").IsError());
    EXPECT_TRUE(Impl::FromXml(data, "").IsError());
    EXPECT_FALSE(data);

    // Unknown names are ignored, numbers that do not parse read as 0, "State" carries nothing.
    ASSERT_TRUE(Impl::FromXml(data, "<Metadata><FileSystem FileSize=\"x\" LastWriteTime=\"0x10\" Colour=\"red\"/>"
                                    "<Derived IsStub=\"true\" IsSubclientFile=\"7\" StubDataGuid=\"bad\"/>"
                                    "<State FileSize=\"5\" Collect=\"1\"/><Extra/></Metadata>")
                    .IsSuccess());
    EXPECT_EQ(data->GetSize(), 0u);
    EXPECT_EQ(data->GetLastWriteTime().AsSystemTime(), 16);
    EXPECT_FALSE(data->GetIsStub());
    EXPECT_TRUE(data->GetIsSubclientFile());
    EXPECT_TRUE(data->GetDataGuid().is_nil());
    EXPECT_EQ(data->GetCollectField(), -1);
    EXPECT_TRUE(log.Log().Contains("Failed to convert string GUID, Guid=[bad]"));
}

TEST(TrueUpItemData, AncestorsGetTimesSizeAndMarksOnly) {
    auto child = std::make_shared<Impl>(Unix(10), Unix(20), 30, true, true, 5,
                                        static_cast<eDirChangeItemBackupFrequency>(3), 0x77, kGuid, true, true);
    FVBasePtr out;
    ASSERT_TRUE(CTrueUpDirChangeItemInfoFactory().GetItemInfo(out, "/a/b/f", "/a", child).IsSuccess());
    auto data = std::dynamic_pointer_cast<Impl>(out);
    ASSERT_TRUE(data);
    EXPECT_EQ(data->GetLastWriteTime(), Unix(10));
    EXPECT_EQ(data->GetChangeTime(), Unix(20));
    EXPECT_EQ(data->GetSize(), 30u);
    EXPECT_TRUE(data->GetIsAddedToCollect());
    EXPECT_TRUE(data->GetIsSubclientFile());
    EXPECT_EQ(data->GetCollectField(), -1);
    EXPECT_EQ(data->GetFileId(), 0u);
    EXPECT_TRUE(data->GetDataGuid().is_nil());
    EXPECT_FALSE(data->GetIsStub());

    CKoError e = CTrueUpDirChangeItemInfoFactory().GetItemInfo(out, "/a/b/f", "/a",
                                                               std::make_shared<CDirChangeItemDataImpl>(1));
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_PARAMETER));
    EXPECT_NE(e.GetMessage().find("Failed to obtain valid ItemInfo data, AncestorPath=[/a], OriginalPath=[/a/b/f]"),
              std::string::npos);
}

}  // namespace

namespace {

TEST(TrueUpItemData, PlainReaderAndDocumentParserReadAlike) {
    const char* texts[] = {
        "<Metadata><FileSystem ChangeTime=\"5\" FileSize=\"7\" LastWriteTime=\"-3\"/><Derived CollectField=\"2\" "
        "IsAclOnly=\"1\" IsStub=\"0\" IsSubclientFile=\"1\" StubDataGuid=\"{0123abcd456789ef0123456789abcdef}\"/>"
        "</Metadata>",
        // Only the first element of a name counts; unknown elements and "State" carry nothing.
        "<Metadata><FileSystem FileSize=\"1\"/><FileSystem FileSize=\"2\"/><State FileSize=\"3\"/><X/></Metadata>",
        // Shapes the plain reader leaves to the parser.
        "<Metadata>\n<FileSystem FileSize=\"1\"/></Metadata>",
        "<?xml version=\"1.0\"?><Metadata><FileSystem FileSize=\"0x10\"/></Metadata>",
        "<Metadata><FileSystem FileSize=\"1\" FileSize=\"2\"/></Metadata>",
        "<Metadata><FileSystem FileSize=\"&#49;\"/></Metadata>",
        "<Metadata><FileSystem FileSize='4'/></Metadata>",
        "<Metadata><FileSystem FileSize=\"4\"></FileSystem></Metadata>",
        "<Metadata/>",
        "<Metadata><FileSystem FileSize=\"1\"/></Metadata> ",
        "<Metadata><FileSystem FileSize=\"1\"/>",
    };
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        CTrueUpDirChangeItemDataImplPtr plain, document;
        const bool a = Impl::FromXml(plain, text).IsSuccess();
        const bool b = Impl::FromXmlDocument(document, text).IsSuccess();
        ASSERT_EQ(a, b);
        if (!a) continue;
        EXPECT_EQ(plain->GetSize(), document->GetSize());
        EXPECT_EQ(plain->GetChangeTime(), document->GetChangeTime());
        EXPECT_EQ(plain->GetLastWriteTime(), document->GetLastWriteTime());
        EXPECT_EQ(plain->GetCollectField(), document->GetCollectField());
        EXPECT_EQ(plain->IsACLOnly(), document->IsACLOnly());
        EXPECT_EQ(plain->GetIsSubclientFile(), document->GetIsSubclientFile());
        EXPECT_EQ(plain->GetDataGuid(), document->GetDataGuid());
    }
}

}  // namespace
