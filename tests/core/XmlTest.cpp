#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <thread>

#include "core/KoXml.h"
#include "support/TestSupport.h"

using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

namespace {

std::vector<std::string> Names(const std::vector<CKoXNodePtr>& nodes, const char* attribute) {
    std::vector<std::string> out;
    for (const auto& n : nodes) out.push_back(n->GetName() + ":" + n->AttributeAsString(attribute));
    return out;
}

// A small state document: Root/Jobs/Job*, Root/PendingJobs/JobRef*.
CKoXDocument MakeStateDoc() {
    CKoXDocument doc;
    CKoXNodePtr root, jobs, pending, n;
    EXPECT_TRUE(doc.AppendNode("Root", root).IsSuccess());
    EXPECT_TRUE(root->AppendNode("Jobs", jobs).IsSuccess());
    for (long long id : {10LL, 20LL, 30LL}) {
        EXPECT_TRUE(jobs->AppendNode("Job", n).IsSuccess());
        EXPECT_TRUE(n->SetAttributeLONGLONG("JobId", id).IsSuccess());
    }
    EXPECT_TRUE(jobs->AppendNode("Other", n).IsSuccess());
    EXPECT_TRUE(jobs->AppendNode("Job", n).IsSuccess());
    EXPECT_TRUE(n->SetAttributeLONGLONG("JobId", 40).IsSuccess());
    EXPECT_TRUE(root->AppendNode("PendingJobs", pending).IsSuccess());
    EXPECT_TRUE(pending->AppendNode("JobRef", n).IsSuccess());
    EXPECT_TRUE(n->SetAttributeLONGLONG("JobId", 30).IsSuccess());
    EXPECT_TRUE(n->SetAttributeINT("JobType", 3).IsSuccess());
    return doc;
}

TEST(CKoXDocument, RoundTripThroughStringAndFileKeepsValues) {
    CKoXDocument doc;
    CKoXNodePtr root, info;
    ASSERT_TRUE(doc.AppendNode("JobState", root).IsSuccess());
    ASSERT_TRUE(root->AppendNode("StateManagerInfo", info).IsSuccess());
    ASSERT_TRUE(info->SetAttributeLONGLONG("JobId", -9223372036854775807LL - 1).IsSuccess());
    ASSERT_TRUE(info->SetAttributeULONGLONG("JobRefTime", 18446744073709551615ULL).IsSuccess());
    ASSERT_TRUE(info->SetAttributeINT("JobType", -3).IsSuccess());
    ASSERT_TRUE(info->SetAttributeUINT("Count", 4000000000u).IsSuccess());
    ASSERT_TRUE(info->SetAttributeBOOL("QueryIndex", true).IsSuccess());
    // Characters that need escaping, a line break and non-ASCII text (2-, 3- and 4-byte forms).
    const std::string token = "a<b>&\"c'\td\ne \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    ASSERT_TRUE(info->SetAttributeString("JobManagerToken", token).IsSuccess());
    ASSERT_TRUE(info->SetText("text \xC3\xA9 & <more>").IsSuccess());

    std::string xml;
    ASSERT_TRUE(doc.SaveAsString(xml).IsSuccess());
    EXPECT_EQ(xml.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<JobState>", 0), 0u) << xml;

    ScopedTempDir dir;
    ASSERT_TRUE(doc.SaveToFile(dir / "state.xml").IsSuccess());
    EXPECT_EQ(ReadFile(dir / "state.xml"), xml);
    EXPECT_NE(access((dir / "state.xml.tmp").c_str(), F_OK), 0);
    CKoError e = doc.SaveToFile(dir / "no/such/folder/state.xml");
    EXPECT_TRUE(e.IsError());
    EXPECT_NE(e.AsString().find("no/such/folder/state.xml"), std::string::npos) << e.AsString();

    for (int viaFile = 0; viaFile < 2; ++viaFile) {
        CKoXDocument back;
        ASSERT_TRUE((viaFile ? back.LoadFromFile(dir / "state.xml") : back.LoadFromString(xml)).IsSuccess());
        CKoXNodePtr n = back.GetNode("JobState/StateManagerInfo");
        ASSERT_TRUE(n->Exists());
        long long jobId = 0;
        unsigned long long refTime = 0;
        int type = 0;
        unsigned count = 0;
        bool query = false;
        std::string text;
        EXPECT_TRUE(n->GetAttributeAsLONGLONG("JobId", jobId).IsSuccess());
        EXPECT_EQ(jobId, -9223372036854775807LL - 1);
        EXPECT_TRUE(n->GetAttributeAsULONGLONG("JobRefTime", refTime).IsSuccess());
        EXPECT_EQ(refTime, 18446744073709551615ULL);
        EXPECT_TRUE(n->GetAttributeAsINT("JobType", type).IsSuccess());
        EXPECT_EQ(type, -3);
        EXPECT_TRUE(n->GetAttributeAsUINT("Count", count).IsSuccess());
        EXPECT_EQ(count, 4000000000u);
        EXPECT_TRUE(n->GetAttributeAsBOOL("QueryIndex", query).IsSuccess());
        EXPECT_TRUE(query);
        EXPECT_TRUE(n->GetAttributeAsString("JobManagerToken", text).IsSuccess());
        EXPECT_EQ(text, token);
        EXPECT_EQ(n->GetText(), "text \xC3\xA9 & <more>");

        // Saving what was loaded gives the same text: indentation does not pile up.
        std::string again;
        ASSERT_TRUE(back.SaveAsString(again).IsSuccess());
        EXPECT_EQ(again, xml);
    }

    // The compact form without declaration is one line.
    ASSERT_TRUE(doc.SaveAsString(xml, CKoXDocument::FORMAT_NO_DECLARATION | CKoXDocument::FORMAT_COMPACT).IsSuccess());
    EXPECT_EQ(xml.rfind("<JobState><StateManagerInfo ", 0), 0u) << xml;
    EXPECT_EQ(xml.find('\n'), std::string::npos) << xml;  // the line break in the value is escaped
}

TEST(CKoXDocument, LoadFailuresAreClassified) {
    ScopedTempDir dir;
    CKoXDocument doc;
    EXPECT_TRUE(FXErrorUtil::IsWin32(doc.LoadFromFile(dir / "missing.xml"), ZyWin32::ERROR_FILE_NOT_FOUND));

    WriteFile(dir / "empty.xml", "");
    EXPECT_TRUE(FXErrorUtil::IsWin32(doc.LoadFromFile(dir / "empty.xml"), ZyWin32::ERROR_EMPTY));
    EXPECT_TRUE(FXErrorUtil::IsWin32(doc.LoadFromString(" \n"), ZyWin32::ERROR_EMPTY));

    // A document cut short by a crash: the error names the place.
    WriteFile(dir / "cut.xml", "<?xml version=\"1.0\"?>\n<Root>\n  <Jobs>\n    <Job JobId=\"1");
    ASSERT_TRUE(doc.LoadFromString("<Root/>").IsSuccess());
    CKoError e = doc.LoadFromFile(dir / "cut.xml");
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_DATA)) << e.AsString();
    EXPECT_NE(e.GetMessage().find("Line=[4]"), std::string::npos) << e.AsString();
    EXPECT_NE(e.AsString().find("cut.xml"), std::string::npos) << e.AsString();
    EXPECT_TRUE(doc.IsEmpty());  // a failed load leaves nothing of the earlier content

    for (const char* bad : {"<a><b></a>", "<a x=1/>", "<a/><b/>", "text", "<a>&undefined;</a>", "<?xml version=\"1.0\"?>"}) {
        e = doc.LoadFromString(bad);
        EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_DATA)) << bad << " " << e.AsString();
    }

    // External entities are not fetched.
    WriteFile(dir / "secret", "SECRET");
    std::string xxe = "<!DOCTYPE a [<!ENTITY x SYSTEM \"file://" + dir / "secret" + "\">]><a>&x;</a>";
    e = doc.LoadFromString(xxe);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_DATA)) << e.AsString();
    EXPECT_EQ(doc.GetRootNode()->GetText().find("SECRET"), std::string::npos);

    // An empty document saves as nothing, and that loads back as empty.
    CKoXDocument none;
    std::string xml = "x";
    ASSERT_TRUE(none.SaveAsString(xml).IsSuccess());
    EXPECT_EQ(xml, "");
    ASSERT_TRUE(none.SaveToFile(dir / "none.xml").IsSuccess());
    EXPECT_TRUE(FXErrorUtil::IsWin32(doc.LoadFromFile(dir / "none.xml"), ZyWin32::ERROR_EMPTY));
}

TEST(CKoXNode, MissingAndMalformedAttributes) {
    CKoXDocument doc;
    ASSERT_TRUE(doc.LoadFromString("<R a='12x' b='' c=' 5' big='2147483648' neg='-1' hex='0x1F' t='TRUE' f='no'/>").IsSuccess());
    CKoXNodePtr r = doc.GetRootNode();
    int i = 7;
    unsigned u = 7;
    long long ll = 7;
    unsigned long long ull = 7;
    bool b = true;
    std::string s = "keep";

    EXPECT_TRUE(FXErrorUtil::IsWin32(r->GetAttributeAsINT("missing", i), ZyWin32::ERROR_NOT_FOUND));
    EXPECT_TRUE(FXErrorUtil::IsWin32(r->GetAttributeAsString("missing", s), ZyWin32::ERROR_NOT_FOUND));
    EXPECT_TRUE(FXErrorUtil::IsWin32(r->GetAttributeAsBOOL("missing", b), ZyWin32::ERROR_NOT_FOUND));
    EXPECT_TRUE(FXErrorUtil::IsWin32(r->GetAttributeAsULONGLONG("missing", ull), ZyWin32::ERROR_NOT_FOUND));
    EXPECT_EQ(r->AttributeAsINT("missing"), 0);
    EXPECT_EQ(r->AttributeAsLONGLONG("missing"), 0);
    EXPECT_EQ(r->AttributeAsString("missing"), "");

    for (const char* name : {"a", "b", "c", "big"}) {
        CKoError e = r->GetAttributeAsINT(name, i);
        EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_DATA)) << name << " " << e.AsString();
    }
    EXPECT_TRUE(FXErrorUtil::IsWin32(r->GetAttributeAsUINT("neg", u), ZyWin32::ERROR_INVALID_DATA));
    EXPECT_TRUE(FXErrorUtil::IsWin32(r->GetAttributeAsULONGLONG("neg", ull), ZyWin32::ERROR_INVALID_DATA));
    EXPECT_TRUE(FXErrorUtil::IsWin32(r->GetAttributeAsBOOL("f", b), ZyWin32::ERROR_INVALID_DATA));
    EXPECT_EQ(i, 7);
    EXPECT_EQ(u, 7u);
    EXPECT_EQ(ull, 7u);
    EXPECT_TRUE(b);
    EXPECT_EQ(s, "keep");
    EXPECT_EQ(r->AttributeAsINT("a"), 0);  // malformed reads as 0 too

    EXPECT_TRUE(r->GetAttributeAsLONGLONG("big", ll).IsSuccess());
    EXPECT_EQ(ll, 2147483648LL);
    EXPECT_TRUE(r->GetAttributeAsINT("neg", i).IsSuccess());
    EXPECT_EQ(i, -1);
    EXPECT_TRUE(r->GetAttributeAsULONGLONG("hex", ull).IsSuccess());
    EXPECT_EQ(ull, 31u);
    EXPECT_TRUE(r->GetAttributeAsBOOL("t", b).IsSuccess());
    EXPECT_TRUE(b);
    EXPECT_TRUE(r->AttributeAsBOOL("t"));

    // A node that was never found.
    CKoXNodePtr none = doc.GetNode("R/Nothing");
    EXPECT_FALSE(none->Exists());
    EXPECT_TRUE(FXErrorUtil::IsWin32(none->GetAttributeAsINT("a", i), ZyWin32::ERROR_NOT_FOUND));
    EXPECT_TRUE(FXErrorUtil::IsWin32(none->SetAttributeINT("a", 1), ZyWin32::ERROR_INVALID_HANDLE));
    EXPECT_EQ(none->AttributeAsLONGLONG("a"), 0);
}

TEST(CKoXNode, RefusesTextXmlCannotCarry) {
    CKoXDocument doc;
    CKoXNodePtr r;
    ASSERT_TRUE(doc.AppendNode("R", r).IsSuccess());
    EXPECT_TRUE(FXErrorUtil::IsWin32(r->SetAttributeString("a", std::string("x\0y", 3)), ZyWin32::ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(FXErrorUtil::IsWin32(r->SetAttributeString("a", "bell\x07"), ZyWin32::ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(FXErrorUtil::IsWin32(r->SetAttributeString("a", "latin1 \xE9"), ZyWin32::ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(FXErrorUtil::IsWin32(r->SetAttributeString("a", "overlong \xC0\xAF"), ZyWin32::ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(FXErrorUtil::IsWin32(r->SetAttributeString("a", "surrogate \xED\xA0\x80"), ZyWin32::ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(FXErrorUtil::IsWin32(r->SetAttributeString("bad name", "v"), ZyWin32::ERROR_INVALID_PARAMETER));
    CKoXNodePtr n;
    EXPECT_TRUE(FXErrorUtil::IsWin32(r->AppendNode("1abc", n), ZyWin32::ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(FXErrorUtil::IsWin32(doc.AppendNode("Second", n), ZyWin32::ERROR_ALREADY_EXISTS));
    EXPECT_EQ(r->GetAttributeCount(), 0u);
}

TEST(CKoXNode, IterationRemovalAndAttributes) {
    CKoXDocument doc = MakeStateDoc();
    CKoXNodePtr job = doc.GetNode("Root/Jobs/Job");
    std::vector<long long> ids;
    for (CKoXNode n = *job; n.Exists(); n.MoveNext()) ids.push_back(n.AttributeAsLONGLONG("JobId"));
    EXPECT_EQ(ids, (std::vector<long long>{10, 20, 30, 40}));  // "Other" skipped

    std::vector<std::string> names;
    for (CKoXNode n = *job; n.Exists(); n.MoveNextSibling()) names.push_back(n.GetName());
    EXPECT_EQ(names, (std::vector<std::string>{"Job", "Job", "Job", "Other", "Job"}));

    // Remove every Job with an id below 35, stepping on before removing.
    CKoXNode cursor = *job;
    while (cursor.Exists()) {
        CKoXNode current = cursor;
        cursor.MoveNext();
        if (current.AttributeAsLONGLONG("JobId") < 35) {
            ASSERT_TRUE(current.RemoveNode().IsSuccess());
            EXPECT_FALSE(current.Exists());
        }
    }
    EXPECT_FALSE(job->Exists());  // the handle to a removed node sees it gone
    ids.clear();
    for (CKoXNode n = *doc.GetNode("Root/Jobs/Job"); n.Exists(); n.MoveNext()) ids.push_back(n.AttributeAsLONGLONG("JobId"));
    EXPECT_EQ(ids, (std::vector<long long>{40}));

    // Removing through the parent checks parenthood.
    CKoXNodePtr jobs = doc.GetNode("Root/Jobs");
    CKoXNodePtr ref = doc.GetNode("Root/PendingJobs/JobRef");
    EXPECT_TRUE(FXErrorUtil::IsWin32(jobs->RemoveNode(*ref), ZyWin32::ERROR_INVALID_PARAMETER));
    CKoXNodePtr other = jobs->GetNode("Other");
    ASSERT_TRUE(jobs->RemoveNode(*other).IsSuccess());
    EXPECT_EQ(jobs->GetNode("*")->AttributeAsINT("JobId"), 40);

    // Attributes in name order, the order they are saved in.
    ASSERT_TRUE(ref->SetAttributeString("Zeta", "z").IsSuccess());
    ASSERT_TRUE(ref->SetAttributeString("Alpha", "a").IsSuccess());
    ASSERT_TRUE(ref->SetAttributeINT("JobType", 4).IsSuccess());  // replaces
    std::vector<std::string> seen;
    std::string name, value;
    for (size_t i = 0; i < ref->GetAttributeCount(); ++i) {
        ASSERT_TRUE(ref->GetAttributeAt(i, name, value).IsSuccess());
        seen.push_back(name + "=" + value);
    }
    EXPECT_TRUE(FXErrorUtil::IsWin32(ref->GetAttributeAt(seen.size(), name, value), ZyWin32::ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(seen, (std::vector<std::string>{"Alpha=a", "JobId=30", "JobType=4", "Zeta=z"}));
    std::string xml;
    ASSERT_TRUE(doc.SaveAsString(xml, CKoXDocument::FORMAT_COMPACT).IsSuccess());
    EXPECT_NE(xml.find("<JobRef Alpha=\"a\" JobId=\"30\" JobType=\"4\" Zeta=\"z\"/>"), std::string::npos) << xml;

    ASSERT_TRUE(ref->RemoveAttribute("Zeta").IsSuccess());
    ASSERT_TRUE(ref->RemoveAttribute("Zeta").IsSuccess());
    EXPECT_FALSE(ref->HasAttribute("Zeta"));
    EXPECT_EQ(ref->GetAttributeCount(), 3u);
}

TEST(CKoXNode, CopiesAcrossDocumentsAndOutlivesDocument) {
    CKoXNodePtr kept;
    CKoXDocument target;
    CKoXNodePtr troot;
    ASSERT_TRUE(target.LoadFromString("<Target><Job JobId=\"1\"/></Target>").IsSuccess());
    troot = target.GetRootNode();
    {
        CKoXDocument source = MakeStateDoc();
        kept = source.GetNode("Root/PendingJobs");
        CKoXNodePtr copy;
        ASSERT_TRUE(troot->AppendNodeCopy(*source.GetNode("Root/Jobs"), copy).IsSuccess());
        EXPECT_EQ(copy->GetName(), "Jobs");
        // The copy is independent of its source.
        ASSERT_TRUE(source.GetNode("Root/Jobs/Job")->SetAttributeINT("JobId", 99).IsSuccess());
        // Copying within one document works too.
        ASSERT_TRUE(troot->AppendNodeCopy(*troot->GetNode("Job"), copy).IsSuccess());
    }
    // The source document's handle is gone; its node still works.
    ASSERT_TRUE(kept->Exists());
    EXPECT_EQ(kept->GetNode("JobRef")->AttributeAsINT("JobType"), 3);
    CKoXNodePtr added;
    ASSERT_TRUE(kept->AppendNode("JobRef", added).IsSuccess());

    std::vector<CKoXNodePtr> nodes;
    ASSERT_TRUE(target.SelectNodes("Target/Jobs/Job", nodes).IsSuccess());
    EXPECT_EQ(Names(nodes, "JobId"), (std::vector<std::string>{"Job:10", "Job:20", "Job:30", "Job:40"}));
    ASSERT_TRUE(target.SelectNodes("/Target/Job", nodes).IsSuccess());
    EXPECT_EQ(nodes.size(), 2u);

    // Reloading a document leaves nodes of its earlier content usable.
    CKoXNodePtr old = target.GetNode("Target/Jobs");
    ASSERT_TRUE(target.LoadFromString("<New/>").IsSuccess());
    EXPECT_TRUE(old->Exists());
    EXPECT_EQ(old->GetNode("Job")->AttributeAsINT("JobId"), 10);
}

TEST(CKoXDocument, SelectNodesSubset) {
    CKoXDocument doc;
    ASSERT_TRUE(doc.LoadFromString("<Root>"
                                   "<Jobs><Job JobId='1'><JobRef JobId='7'/></Job><Job JobId='2' Done='1'/></Jobs>"
                                   "<PendingJobs><JobRef JobId='3' JobType='4'/><JobRef JobId='5'/></PendingJobs>"
                                   "<LastSuccessfulJobs><JobRef JobId='6' JobType='4'/></LastSuccessfulJobs>"
                                   "</Root>")
                    .IsSuccess());
    std::vector<CKoXNodePtr> nodes;
    ASSERT_TRUE(doc.SelectNodes("//JobRef", nodes).IsSuccess());
    EXPECT_EQ(Names(nodes, "JobId"), (std::vector<std::string>{"JobRef:7", "JobRef:3", "JobRef:5", "JobRef:6"}));
    ASSERT_TRUE(doc.SelectNodes("//JobRef[@JobType='4']", nodes).IsSuccess());
    EXPECT_EQ(Names(nodes, "JobId"), (std::vector<std::string>{"JobRef:3", "JobRef:6"}));
    ASSERT_TRUE(doc.SelectNodes("Root/*/JobRef[@JobType][@JobId=\"6\"]", nodes).IsSuccess());
    EXPECT_EQ(Names(nodes, "JobId"), (std::vector<std::string>{"JobRef:6"}));
    ASSERT_TRUE(doc.SelectNodes("./Root/Jobs/Job[@Done]", nodes).IsSuccess());
    EXPECT_EQ(Names(nodes, "JobId"), (std::vector<std::string>{"Job:2"}));
    ASSERT_TRUE(doc.SelectNodes("Root//Job//JobRef", nodes).IsSuccess());
    EXPECT_EQ(Names(nodes, "JobId"), (std::vector<std::string>{"JobRef:7"}));
    ASSERT_TRUE(doc.SelectNodes("Jobs/Job", nodes).IsSuccess());  // from the document, the root comes first
    EXPECT_TRUE(nodes.empty());

    // From a node: relative paths start at its children, absolute ones at the document.
    CKoXNodePtr pending = doc.GetNode("Root/PendingJobs");
    ASSERT_TRUE(pending->SelectNodes("JobRef", nodes).IsSuccess());
    EXPECT_EQ(nodes.size(), 2u);
    ASSERT_TRUE(pending->SelectNodes(".", nodes).IsSuccess());
    EXPECT_EQ(Names(nodes, "x"), (std::vector<std::string>{"PendingJobs:"}));
    ASSERT_TRUE(pending->SelectNodes("//Job", nodes).IsSuccess());
    EXPECT_EQ(nodes.size(), 2u);

    for (const char* bad : {"", "..", "Root/../Jobs", "Job[1]", "count(//Job)", "Jo*b", "Job[@a=b]", "Job[@a='b'", "a|b", "child::a"}) {
        CKoError e = doc.SelectNodes(bad, nodes);
        EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_PARAMETER)) << bad << " " << e.AsString();
    }
    CKoXDocument empty;
    ASSERT_TRUE(empty.SelectNodes("//Job", nodes).IsSuccess());
    EXPECT_TRUE(nodes.empty());
}

TEST(CKoXDocument, DocumentsOnSeparateThreads) {
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&good] {
            for (int i = 0; i < 50; ++i) {
                CKoXDocument doc = MakeStateDoc();
                std::string xml;
                CKoXDocument back;
                if (doc.SaveAsString(xml).IsError() || back.LoadFromString(xml).IsError()) return;
                if (back.GetNode("Root/PendingJobs/JobRef")->AttributeAsINT("JobType") != 3) return;
            }
            ++good;
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(good.load(), 4);
}

}  // namespace
