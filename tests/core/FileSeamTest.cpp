// FXFile over the file-system seam: the FILE* contracts of zyfopen's streams, and the helpers
// failing where the seam fails.
#include <stdio_ext.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/Env.h"
#include "core/FaultInjectionEnv.h"
#include "core/File.h"
#include "support/TestSupport.h"

using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

namespace {

std::string ReadStream(FILE* f) {
    std::string out;
    char buf[5];  // small, so reads split
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    return out;
}

TEST(FXFileStream, EveryModeKeepsTheContractsOfFopen) {
    ScopedTempDir dir;
    const std::string p = dir / "f";
    FXFileHandle f;
    // "w" creates or empties; the position moves with writes and seeks, and "w" can rewrite.
    WriteFile(p, "previous content");
    ASSERT_TRUE(FXFile::zyfopen(p, "w", f).IsSuccess());
    ASSERT_NE(f.Seam(), nullptr);
    EXPECT_EQ(std::fprintf(f.Get(), "line %d\n", 1), 7);
    EXPECT_EQ(std::ftell(f.Get()), 7);
    std::fputs("XXXX\n", f.Get());
    ASSERT_EQ(std::fseek(f.Get(), 7, SEEK_SET), 0);
    std::fputs("two", f.Get());
    ASSERT_TRUE(f.Close().IsSuccess());
    EXPECT_EQ(ReadFile(p), "line 1\ntwoX\n");

    // "rb" reads, seeks from every origin and sees the end.
    ASSERT_TRUE(FXFile::zyfopen(p, "rb", f).IsSuccess());
    char line[32];
    ASSERT_NE(std::fgets(line, sizeof line, f.Get()), nullptr);
    EXPECT_STREQ(line, "line 1\n");
    EXPECT_EQ(ftello(f.Get()), 7);
    ASSERT_EQ(fseeko(f.Get(), -5, SEEK_END), 0);
    EXPECT_EQ(ReadStream(f.Get()), "twoX\n");
    EXPECT_TRUE(std::feof(f.Get()));
    ASSERT_EQ(fseeko(f.Get(), 2, SEEK_SET), 0);
    ASSERT_EQ(fseeko(f.Get(), 1, SEEK_CUR), 0);
    EXPECT_EQ(std::fgetc(f.Get()), 'e');
    EXPECT_EQ(std::fputc('z', f.Get()), EOF);  // not open for writing
    f.Reset();

    // "a" appends whatever the position; "ab+" reads anywhere and still appends.
    ASSERT_TRUE(FXFile::zyfopen(p, "a", f).IsSuccess());
    std::fputs("three\n", f.Get());
    EXPECT_EQ(std::ftell(f.Get()), 18);
    ASSERT_TRUE(f.Close().IsSuccess());
    ASSERT_TRUE(FXFile::zyfopen(p, "ab+", f).IsSuccess());
    ASSERT_EQ(std::fseek(f.Get(), 0, SEEK_SET), 0);
    ASSERT_NE(std::fgets(line, sizeof line, f.Get()), nullptr);
    EXPECT_STREQ(line, "line 1\n");
    ASSERT_EQ(std::fseek(f.Get(), 0, SEEK_CUR), 0);  // a write after a read needs a seek between
    std::fputs("four\n", f.Get());
    ASSERT_EQ(std::fseek(f.Get(), 12, SEEK_SET), 0);
    EXPECT_EQ(ReadStream(f.Get()), "three\nfour\n");
    ASSERT_TRUE(f.Close().IsSuccess());
    EXPECT_EQ(ReadFile(p), "line 1\ntwoX\nthree\nfour\n");

    // "a+" on a missing file creates it; "r+" rewrites in place and does not create.
    ASSERT_TRUE(FXFile::zyfopen(dir / "new", "a+", f).IsSuccess());
    std::fputs("n", f.Get());
    ASSERT_TRUE(f.Close().IsSuccess());
    EXPECT_EQ(ReadFile(dir / "new"), "n");
    EXPECT_TRUE(FXErrorUtil::IsWin32(FXFile::zyfopen(dir / "none", "r+", f), ZyWin32::ERROR_FILE_NOT_FOUND));
    ASSERT_TRUE(FXFile::zyfopen(dir / "new", "r+", f).IsSuccess());
    std::fputs("N", f.Get());
    ASSERT_TRUE(f.Close().IsSuccess());
    EXPECT_EQ(ReadFile(dir / "new"), "N");
    EXPECT_TRUE(FXErrorUtil::IsWin32(FXFile::zyfopen(p, "q", f), ZyWin32::ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(f.IsOpen());

    // A stream that writes never goes through a link; a reading one may, to a regular file only.
    ASSERT_EQ(::symlink(p.c_str(), (dir / "link").c_str()), 0);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(FXFile::zyfopen(dir / "link", "wb", f), ELOOP));
    EXPECT_TRUE(FXFile::zyfopen(dir / "link", "rb", f).IsSuccess());
    EXPECT_TRUE(FXFile::zyfopen(dir.Path(), "rb", f).IsError());
    EXPECT_EQ(ReadFile(p), "line 1\ntwoX\nthree\nfour\n");
}

TEST(FXFileStream, TheSeamFileSaysWhyAWriteFailedAndCutsBack) {
    ScopedTempDir dir;
    const std::string p = dir / "f";
    FXFaultInjectionEnv env;
    FXScopedEnv scoped(&env);
    FXFileHandle f;
    ASSERT_TRUE(FXFile::zyfopen(p, "wb", f).IsSuccess());
    std::setvbuf(f.Get(), nullptr, _IONBF, 0);  // each fwrite one write
    env.FailNth(EFaultOp::Write, 2, ENOSPC, true, true);
    ASSERT_EQ(std::fwrite("complete\n", 1, 9, f.Get()), 9u);
    EXPECT_LT(std::fwrite("torn line\n", 1, 10, f.Get()), 10u);
    EXPECT_TRUE(std::ferror(f.Get()));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(f.Seam()->LastError(), ENOSPC));
    EXPECT_NE(f.Seam()->LastError().GetMessage().find(p), std::string::npos);
    // What a writer does after such a failure: drop the buffer, cut back to the last whole line.
    ::__fpurge(f.Get());
    uint64_t size = 0;
    ASSERT_TRUE(f.Seam()->Size(size).IsSuccess());
    EXPECT_GT(size, 9u);  // half of the failing write landed
    char tail[32];
    size_t got = 0;
    ASSERT_TRUE(f.Seam()->ReadAt(0, tail, sizeof tail, got).IsSuccess());
    EXPECT_EQ(std::string(tail, 9), "complete\n");
    ASSERT_TRUE(f.Seam()->Truncate(9).IsSuccess());
    env.ClearFaults();
    ASSERT_TRUE(f.Seam()->Sync().IsSuccess());
    // Once a write failed nothing more lands behind the gap, and closing says so.
    EXPECT_EQ(std::fwrite("later\n", 1, 6, f.Get()), 0u);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(f.Close(), ENOSPC));
    EXPECT_EQ(ReadFile(p), "complete\n");

    // A failure of the final flush, and of the close itself, reach Close with the seam's error.
    ASSERT_TRUE(FXFile::zyfopen(p, "ab", f).IsSuccess());
    std::fputs("buffered", f.Get());
    env.FailNth(EFaultOp::Write, 1, EDQUOT);
    CKoError e = f.Close();
    EXPECT_TRUE(FXErrorUtil::IsErrNo(e, EDQUOT)) << e.AsString();
    ASSERT_TRUE(FXFile::zyfopen(p, "ab", f).IsSuccess());
    env.FailNth(EFaultOp::Close, 1, EIO);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(f.Close(), EIO));
    ASSERT_TRUE(FXFile::zyfopen(p, "rb", f).IsSuccess());
    env.FailNth(EFaultOp::Read, 1, EIO);
    EXPECT_EQ(std::fgetc(f.Get()), EOF);
    EXPECT_TRUE(std::ferror(f.Get()));
    EXPECT_FALSE(std::feof(f.Get()));
    EXPECT_TRUE(FXErrorUtil::IsErrNo(f.Seam()->LastError(), EIO));
    EXPECT_EQ(ReadFile(p), "complete\n");
}

TEST(FXFileStream, AReplacementStreamCommitsWholeOrNotAtAll) {
    ScopedTempDir dir;
    const std::string p = dir / "map";
    WriteFile(p, "old");
    {
        FXDurableReplace replace(p);
        ASSERT_TRUE(replace.Open().IsSuccess());
        FXFileHandle f;
        ASSERT_TRUE(FXFile::OpenReplaceStream(replace, f).IsSuccess());
        std::fprintf(f.Get(), "%s=%d\n", "new", 1);
        EXPECT_EQ(std::ftell(f.Get()), 6);
        ASSERT_TRUE(f.Close().IsSuccess());
        EXPECT_EQ(ReadFile(p), "old");
        ASSERT_TRUE(replace.Commit().IsSuccess());
    }
    EXPECT_EQ(ReadFile(p), "new=1\n");

    // A write failure the writer did not look at still fails the commit, and nothing changes.
    FXFaultInjectionEnv env;
    FXScopedEnv scoped(&env);
    FXDurableReplace replace(p);
    ASSERT_TRUE(replace.Open().IsSuccess());
    FXFileHandle f;
    ASSERT_TRUE(FXFile::OpenReplaceStream(replace, f).IsSuccess());
    env.FailNth(EFaultOp::Write, 1, ENOSPC);
    std::fputs("lost", f.Get());
    f.Reset();
    EXPECT_TRUE(FXErrorUtil::IsErrNo(replace.Commit(), ENOSPC));
    EXPECT_EQ(ReadFile(p), "new=1\n");
    EXPECT_NE(::access((p + ".tmp").c_str(), F_OK), 0);
}

// Where the seam fails, the helpers fail and leave what they were replacing as it was.
TEST(FXFileSeam, HelpersFailCleanlyWhereTheSeamFails) {
    ScopedTempDir dir;
    WriteFile(dir / "src", std::string(200000, 's'));
    WriteFile(dir / "dst", "keep me");
    FXFaultInjectionEnv env;
    FXScopedEnv scoped(&env);

    // A copy that fails half-way leaves the old target whole, and no temporary.
    env.FailNth(EFaultOp::Write, 2, ENOSPC);
    CKoError e = FXFile::ZYCopyFile(dir / "src", dir / "dst", false);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(e, ENOSPC)) << e.AsString();
    EXPECT_EQ(ReadFile(dir / "dst"), "keep me");
    EXPECT_FALSE(FXFile::DoesFileExist(dir / "dst.tmp"));
    EXPECT_TRUE(FXErrorUtil::IsWin32(FXFile::ZYCopyFile(dir / "src", dir / "dst", true), ZyWin32::ERROR_ALREADY_EXISTS));
    ASSERT_TRUE(FXFile::ZYCopyFile(dir / "src", dir / "dst", false).IsSuccess());
    EXPECT_EQ(ReadFile(dir / "dst"), std::string(200000, 's'));

    // A full disk under the atomic write: the old content stays.
    ASSERT_TRUE(FXFile::WriteFileAtomically(dir / "state", "old").IsSuccess());
    env.FailNth(EFaultOp::Write, 1, ENOSPC, true, true);
    e = FXFile::WriteFileAtomically(dir / "state", std::string(256 * 1024, 'x'));
    EXPECT_TRUE(FXErrorUtil::IsErrNo(e, ENOSPC)) << e.AsString();
    EXPECT_EQ(ReadFile(dir / "state"), "old");
    EXPECT_FALSE(FXFile::DoesFileExist(dir / "state.tmp"));
    env.ClearFaults();

    // The folder sync after the rename is reported, not dropped.
    WriteFile(dir / "written", "new");
    env.FailNth(EFaultOp::SyncDir, 1, EIO);
    e = FXFile::ReplaceFile(dir / "written", dir / "state");
    EXPECT_TRUE(FXErrorUtil::IsErrNo(e, EIO)) << e.AsString();
    EXPECT_NE(e.AsString().find("not yet durable"), std::string::npos) << e.AsString();

    // Listing, moving, reading and making folders fail with the seam's error.
    env.FailNth(EFaultOp::List, 1, EACCES);
    std::vector<std::string> names;
    EXPECT_TRUE(FXErrorUtil::IsErrNo(FXFile::GetMatchingFiles(dir.Path(), "*", names), EACCES));
    env.FailNth(EFaultOp::Rename, 1, EXDEV);  // across file systems: copied, then the source removed
    ASSERT_TRUE(FXFile::ZYMoveFileEx(dir / "src", dir / "moved", true).IsSuccess());
    EXPECT_FALSE(FXFile::DoesFileExist(dir / "src"));
    EXPECT_EQ(ReadFile(dir / "moved").size(), 200000u);
    env.FailNth(EFaultOp::Read, 1, EIO);
    std::string content;
    EXPECT_TRUE(FXErrorUtil::IsErrNo(FXFile::ReadWholeFile(dir / "moved", content), EIO));
    // Each component is asked for, existing ones too: fail the one below "a".
    env.FailNth(EFaultOp::MkDir, std::count(dir.Path().begin(), dir.Path().end(), '/') + 2, EROFS);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(FXFile::CreateFoldersIteratively(dir / "a/b/c"), EROFS));
    EXPECT_TRUE(FXFile::DoesFileExist(dir / "a"));
    EXPECT_FALSE(FXFile::DoesFileExist(dir / "a/b"));
}

// A file larger than the memory there is: an error, not an exception.
TEST(FXFileSeam, ReadingAFileWithoutMemoryIsAnError) {
    ScopedTempDir dir;
    WriteFile(dir / "big", std::string(300000, 'b'));
    std::string content;
    CKoError e;
    bool threw = false;
    {
        testsupport::ScopedAllocationLimit limit(200000);
        try {
            e = FXFile::ReadWholeFile(dir / "big", content);
        } catch (...) {
            threw = true;
        }
    }
    EXPECT_FALSE(threw);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_OUTOFMEMORY)) << e.AsString();
    ASSERT_TRUE(FXFile::ReadWholeFile(dir / "big", content).IsSuccess());
    EXPECT_EQ(content.size(), 300000u);
}

// A folder made by CreateFoldersIteratively survives a crash: its parent was synced.
TEST(FXFileSeam, FoldersMadeAreDurable) {
    ScopedTempDir dir;
    FXFaultInjectionEnv env;
    FXScopedEnv scoped(&env);
    ASSERT_TRUE(FXFile::CreateFoldersIteratively(dir / "x/y").IsSuccess());
    env.Crash();
    ASSERT_TRUE(env.DropUnsyncedData().IsSuccess());
    EXPECT_TRUE(FXFile::DoesFileExist(dir / "x/y"));
}

}  // namespace
