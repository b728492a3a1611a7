#include <gtest/gtest.h>

#include <cerrno>

#include "core/KoError.h"
#include "core/LogWriter.h"

namespace {

CKoError Inner() { return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "bad line %d", 7); }

CKoError Outer() {
    CKoError e = Inner();
    if (e.IsError()) return e.Push(ZY_HERE, "Outer failed, Name=[%s]", "x");
    return CKoError::Success();
}

TEST(KoError, SuccessCarriesNothing) {
    CKoError ok = CKoError::Success();
    EXPECT_TRUE(ok.IsSuccess());
    EXPECT_FALSE(ok.IsError());
    EXPECT_EQ(ok.GetErrorCode(), 0);
    EXPECT_EQ(ok.GetFamily(), EErrorFamily::None);
    EXPECT_TRUE(ok.GetStack().empty());
    EXPECT_EQ(ok.AsString(), "Success");
    // Pushing onto success changes nothing.
    ok.Push(ZY_HERE, "ignored");
    EXPECT_TRUE(ok.IsSuccess());
}

TEST(KoError, StackGrowsInnermostFirstWithLocations) {
    CKoError e = Outer();
    ASSERT_TRUE(e.IsError());
    EXPECT_EQ(e.GetErrorCode(), 13);
    EXPECT_EQ(e.GetMessage(), "bad line 7");
    ASSERT_EQ(e.GetStack().size(), 2u);
    const auto& inner = e.GetStack()[0].location;
    EXPECT_EQ(inner.GetFile(), "KoErrorTest");
    EXPECT_NE(std::string(inner.GetFunction()).find("Inner"), std::string::npos);
    EXPECT_GT(inner.GetLine(), 0);
    EXPECT_NE(std::string(e.GetStack()[1].location.GetFunction()).find("Outer"), std::string::npos);
    EXPECT_EQ(e.GetStack()[1].message, "Outer failed, Name=[x]");

    std::string text = e.AsString();
    EXPECT_NE(text.find("Win32:13"), std::string::npos);
    EXPECT_LT(text.find("bad line 7"), text.find("Outer failed"));
}

TEST(KoError, CopiesShareUntilPushedAndCopyIsDeep) {
    CKoError a = Inner();
    CKoError b = a;
    b.Push(ZY_HERE, "only b");
    EXPECT_EQ(a.GetStack().size(), 1u);
    EXPECT_EQ(b.GetStack().size(), 2u);

    CKoError c = a.Copy();
    c.Push(ZY_HERE);
    EXPECT_EQ(a.GetStack().size(), 1u);
    EXPECT_EQ(c.GetStack().size(), 2u);
    EXPECT_EQ(c.GetErrorCode(), a.GetErrorCode());
}

TEST(KoError, FamilyTestsTellCodesApart) {
    CKoError notFound = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND);
    CKoError enoent = FXErrorUtil::ErrorErrNo(ZY_HERE, ENOENT, "open failed, FileName=[%s]", "/x");
    CKoError sqlite = FXErrorUtil::ErrorSQLite(ZY_HERE, 5, "busy");
    CKoError integer = FXErrorUtil::ErrorInt(ZY_HERE, 2);
    CKoError ok;

    EXPECT_TRUE(FXErrorUtil::IsWin32(notFound, 1168));
    EXPECT_FALSE(FXErrorUtil::IsWin32(notFound, 2));
    EXPECT_TRUE(FXErrorUtil::IsNotWin32(notFound, 2));
    EXPECT_FALSE(FXErrorUtil::IsNotWin32(ok, 2));  // success is no error of any code
    EXPECT_FALSE(FXErrorUtil::IsWin32(ok, 0));

    EXPECT_TRUE(FXErrorUtil::IsErrNo(enoent, ENOENT));
    EXPECT_FALSE(FXErrorUtil::IsWin32(enoent, ENOENT));  // same number, other family
    EXPECT_TRUE(FXErrorUtil::IsNotErrNo(enoent, EACCES));
    EXPECT_NE(enoent.GetMessage().find("No such file"), std::string::npos);

    EXPECT_TRUE(FXErrorUtil::IsSQLite(sqlite, 5));
    EXPECT_FALSE(FXErrorUtil::IsErrNo(integer, 2));
    EXPECT_EQ(integer.GetFamily(), EErrorFamily::Int);
}

TEST(DisplayBits, NamesSetBitsInTableOrder) {
    static const SDisplayBit table[] = {{0x1, "ONE"}, {0x4, "FOUR"}, {0x2, "TWO"}};
    EXPECT_EQ(CDisplayBitsBase::AsString(table, 0x7), "ONE|FOUR|TWO");
    EXPECT_EQ(CDisplayBitsBase::AsString(table, 0x6), "FOUR|TWO");
    EXPECT_EQ(CDisplayBitsBase::AsString(table, 0x8), "");
}

}  // namespace
