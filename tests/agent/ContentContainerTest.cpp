#include <gtest/gtest.h>
#include <sqlite3.h>

#include <map>
#include <string>
#include <vector>

#include "agent/CompareContentContainers.h"
#include "agent/ContentContainer.h"
#include "support/TestSupport.h"

namespace {

using CX::CContentContainer;

void Sql(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
}

// Folders (by path) and their files, written in one transaction and marked finished.
void Fill(const std::string& path, const std::map<std::string, std::vector<std::string>>& content) {
    CContentContainer c;
    c.SetName(path);
    ASSERT_TRUE(c.OpenExistingOrCreate().IsSuccess());
    std::shared_ptr<FX::CDatabaseTransaction> t;
    ASSERT_TRUE(c.BeginTransaction(t).IsSuccess());
    for (const auto& [folder, files] : content) {
        int64_t id = 0;
        ASSERT_TRUE(c.InsertFolder(folder, "m:" + folder, id).IsSuccess()) << folder;
        for (const std::string& f : files) ASSERT_TRUE(c.InsertOrUpdateFile(id, f, 1, "m:" + f).IsSuccess());
    }
    ASSERT_TRUE(t->Commit().IsSuccess());
    ASSERT_TRUE(c.SetOrigin("test").IsSuccess());
}

std::vector<std::string> ReadAll(CContentContainer& c) {
    std::vector<std::string> out;
    EXPECT_TRUE(c.StartFolders().IsSuccess());
    CX::SContentContainerFolder folder;
    bool found = false;
    while (c.NextFolder(folder, found).IsSuccess() && found) {
        out.push_back(folder.path + "/");
        EXPECT_TRUE(c.StartFiles(folder.id).IsSuccess());
        CX::SContentContainerFile file;
        bool more = false;
        while (c.NextFile(file, more).IsSuccess() && more) out.push_back(file.name);
    }
    return out;
}

TEST(ContentContainer, ReadsInComparisonOrderAndRollsBackUncommitted) {
    testsupport::ScopedTempDir dir;
    const std::string path = dir / "c.db";
    Fill(path, {{"/a", {"z", "b", "a b"}}, {"/a b", {"x"}}, {"/a/c", {}}, {"/", {"top"}}});
    CContentContainer c;
    c.SetName(path);
    ASSERT_TRUE(c.OpenExisting().IsSuccess());
    // By path with a trailing "/": "/a b/" < "/a/" (" " sorts before "/"), and a folder's subtree
    // follows it directly ("/a/" then "/a/c/").
    EXPECT_EQ(ReadAll(c), (std::vector<std::string>{"//", "top", "/a b/", "x", "/a/", "a b", "b", "z", "/a/c/"}));
    bool complete = false;
    ASSERT_TRUE(c.IsComplete(complete).IsSuccess());
    EXPECT_TRUE(complete);

    int64_t id = 0;
    EXPECT_TRUE(FXErrorUtil::IsWin32(c.InsertFolder("/a", "", id), ZyWin32::ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(FXErrorUtil::IsWin32(c.InsertFolder("rel", "", id), ZyWin32::ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(FXErrorUtil::IsWin32(c.QueryFolderId("/nope", id), ZyWin32::ERROR_NOT_FOUND));
    ASSERT_TRUE(c.QueryFolderId("/a/", id).IsSuccess());
    EXPECT_TRUE(FXErrorUtil::IsWin32(c.InsertOrUpdateFile(id, "x/y", 0, ""), ZyWin32::ERROR_INVALID_PARAMETER));
    {
        std::shared_ptr<FX::CDatabaseTransaction> t;
        ASSERT_TRUE(c.BeginTransaction(t).IsSuccess());
        ASSERT_TRUE(c.InsertOrUpdateFile(id, "dropped", 0, "").IsSuccess());
    }  // not committed
    EXPECT_EQ(c.GetFileCount(), 5u);
    ASSERT_TRUE(c.Delete().IsSuccess());
    EXPECT_FALSE(c.Exists());
    EXPECT_TRUE(c.Delete().IsSuccess());
    EXPECT_TRUE(FXErrorUtil::IsWin32(c.OpenExisting(), ZyWin32::ERROR_FILE_NOT_FOUND));
}

TEST(ContentContainer, DamageIsAnErrorThatNamesTheContainer) {
    testsupport::ScopedTempDir dir;
    // Not a database at all, or one of someone else.
    testsupport::WriteFile(dir / "junk.db", std::string(4096, 'x'));
    Sql(dir / "foreign.db", "CREATE TABLE t(x)");
    for (const char* name : {"junk.db", "foreign.db"}) {
        CContentContainer c;
        c.SetName(dir / name);
        CKoError e = c.OpenExisting();
        EXPECT_TRUE(e.IsError()) << name;
        EXPECT_NE(e.AsString().find("damaged or is not such a database"), std::string::npos) << e.AsString();
    }
    // Rows of the wrong shape or out of order (an index that lies) are found by the readers.
    struct Case {
        const char* sql;
        const char* problem;
    };
    const Case cases[] = {
        {"INSERT INTO folders(key) VALUES(CAST('relative/' AS BLOB))", "folder path"},
        {"INSERT INTO files(folder_id, name) VALUES((SELECT id FROM folders WHERE key=CAST('/a/' AS BLOB)), "
         "CAST('x/y' AS BLOB))",
         "file name"},
        {"INSERT INTO files(folder_id, name) VALUES((SELECT id FROM folders WHERE key=CAST('/a/' AS BLOB)), "
         "CAST('' AS BLOB))",
         "file name"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sql);
        const std::string path = dir / "rows.db";
        std::remove(path.c_str());
        Fill(path, {{"/a", {"f"}}});
        Sql(path, c.sql);
        CContentContainer container;
        container.SetName(path);
        ASSERT_TRUE(container.OpenExisting().IsSuccess());
        CKoError e;
        CX::SContentContainerFolder folder;
        bool found = false;
        ASSERT_TRUE(container.StartFolders().IsSuccess());
        while ((e = container.NextFolder(folder, found)).IsSuccess() && found) {
            ASSERT_TRUE(container.StartFiles(folder.id).IsSuccess());
            CX::SContentContainerFile file;
            bool more = false;
            while ((e = container.NextFile(file, more)).IsSuccess() && more) {
            }
            if (e.IsError()) break;
        }
        ASSERT_TRUE(e.IsError());
        EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_DATA));
        EXPECT_NE(e.GetMessage().find(c.problem), std::string::npos) << e.AsString();
    }
}

// Records the walk as lines: "F1 /a", "f2 /a/x", "B /b", "b /b/y" (folder/file, 1, 2 or both).
class CRecordingComparer : public CX::CCompareContentContainersCallback {
public:
    CKoError OnFolderInIndex1(const std::string& path, const std::string& name, bool& recurse) override {
        lines.push_back("F1 " + path + " " + name);
        if (path == "/skip") recurse = false;
        return CKoError::Success();
    }
    CKoError OnFolderInIndex2(const std::string& path, const std::string&, const std::string&) override {
        lines.push_back("F2 " + path);
        return CKoError::Success();
    }
    CKoError OnFolderInBothIndexes(const std::string& path, const std::string&, const std::string&,
                                   const std::string&, const std::string&) override {
        lines.push_back("B " + path);
        return CKoError::Success();
    }
    CKoError OnFileInIndex1(const std::string& path, const std::string&, const std::string&) override {
        lines.push_back("f1 " + path);
        return CKoError::Success();
    }
    CKoError OnFileInIndex2(const std::string& path, const std::string&, const std::string&) override {
        lines.push_back("f2 " + path);
        return CKoError::Success();
    }
    CKoError OnFileInBothIndexes(const std::string& path, const std::string&, const std::string& m1,
                                 const std::string& m2) override {
        lines.push_back("b " + path + (m1 == m2 ? "" : " differs"));
        if (abortAfterFirstFile) aborted = true;
        return CKoError::Success();
    }
    bool IsAborted() override { return aborted; }
    std::vector<std::string> lines;
    bool abortAfterFirstFile = false, aborted = false;
};

TEST(ContentContainer, ComparisonWalksBothInStep) {
    testsupport::ScopedTempDir dir;
    Fill(dir / "1.db", {{"/", {"t"}}, {"/a", {"x", "y"}}, {"/gone", {"g"}}, {"/gone/sub", {"h"}}, {"/skip", {"s"}},
                        {"/skip/deep", {"d"}}, {"/step", {"s1"}}, {"/step/in", {"i"}}});
    // Container 2 lacks "/step" but holds "/step/in": a path step, not a folder that is gone.
    Fill(dir / "2.db", {{"/", {"t"}}, {"/a", {"y", "z"}}, {"/new", {"n"}}, {"/new/sub", {}}, {"/step/in", {"i"}}});
    auto c1 = std::make_shared<CContentContainer>(), c2 = std::make_shared<CContentContainer>();
    c1->SetName(dir / "1.db");
    c2->SetName(dir / "2.db");
    ASSERT_TRUE(c1->OpenExisting().IsSuccess());
    ASSERT_TRUE(c2->OpenExisting().IsSuccess());
    CX::CCompareContentContainers comparer(c1, c2);
    CRecordingComparer callback;
    ASSERT_TRUE(comparer.CompareDatabases(callback).IsSuccess());
    // The short folder forms answer 50 (the base's answer), so the long ones are used; a folder
    // only in container 1 is descended into unless the callback says no, then its subtree is
    // passed over; folders only in container 2 are always descended into.
    EXPECT_EQ(callback.lines,
              (std::vector<std::string>{"B /", "b /t", "B /a", "f1 /a/x", "b /a/y", "f2 /a/z", "F1 /gone gone",
                                        "f1 /gone/g", "F1 /gone/sub sub", "f1 /gone/sub/h", "F2 /new", "f2 /new/n",
                                        "F2 /new/sub", "F1 /skip skip", "f1 /step/s1", "B /step/in", "b /step/in/i"}));

    CX::CConfigurationBag noRecurse;
    noRecurse.SetBool(CX::CConfigurationBag::kRecurseIntoDeletedFolders, false);
    comparer.SetConfiguration(noRecurse);
    CRecordingComparer second;
    ASSERT_TRUE(comparer.CompareDatabases(second).IsSuccess());
    EXPECT_EQ(std::count(second.lines.begin(), second.lines.end(), "f1 /gone/g"), 0);
    EXPECT_EQ(std::count(second.lines.begin(), second.lines.end(), "F1 /gone/sub sub"), 0);

    CRecordingComparer aborting;
    aborting.abortAfterFirstFile = true;
    CKoError e = comparer.CompareDatabases(aborting);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_OPERATION_ABORTED));

    // A container whose writer did not finish is refused.
    Sql(dir / "2.db", "DELETE FROM properties");
    e = comparer.CompareDatabases(callback);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_DATA));
    EXPECT_NE(e.GetMessage().find("not finished by its writer"), std::string::npos);
}

}  // namespace
