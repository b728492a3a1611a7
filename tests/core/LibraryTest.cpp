#include <gtest/gtest.h>


#include "core/Library.h"

namespace {

TEST(CKoLibrary, LoadsByNameAndFindsSymbols) {
    CKoLibrary libm;
    ASSERT_TRUE(libm.Load("libm.so.6").IsSuccess());
    double (*cosine)(double) = nullptr;
    ASSERT_TRUE(libm.GetFunction("cos", cosine).IsSuccess());
    ASSERT_NE(cosine, nullptr);
    EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);

    // Moving hands the library over; the moved-from object holds nothing.
    CKoLibrary moved(std::move(libm));
    EXPECT_FALSE(libm.IsLoaded());
    EXPECT_TRUE(moved.IsLoaded());
    EXPECT_EQ(moved.GetPath(), "libm.so.6");
    void* address = nullptr;
    EXPECT_TRUE(FXErrorUtil::IsWin32(libm.GetAddress("cos", address), ZyWin32::ERROR_INVALID_HANDLE));

    CKoLibrary libc;
    ASSERT_TRUE(libc.Load("libc.so.6").IsSuccess());
    size_t (*length)(const char*) = nullptr;
    ASSERT_TRUE(libc.GetFunction("strlen", length).IsSuccess());
    EXPECT_EQ(length("four"), 4u);
    moved = std::move(libc);  // unloads libm, takes libc
    EXPECT_EQ(moved.GetPath(), "libc.so.6");
    EXPECT_TRUE(moved.GetAddress("strlen", address).IsSuccess());
    EXPECT_TRUE(moved.Unload().IsSuccess());
    EXPECT_FALSE(moved.IsLoaded());
}

TEST(CKoLibrary, MissingLibraryAndSymbolCarryTheLoaderReason) {
    CKoLibrary lib;
    CKoError e = lib.Load("/nonexistent/libZyCurlWrapper.so");
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_MOD_NOT_FOUND)) << e.AsString();
    EXPECT_NE(e.GetMessage().find("No such file or directory"), std::string::npos) << e.AsString();
    EXPECT_FALSE(lib.IsLoaded());

    // Not a shared library at all.
    e = lib.Load("/etc/hostname");
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_MOD_NOT_FOUND)) << e.AsString();

    ASSERT_TRUE(lib.Load("libm.so.6").IsSuccess());
    void* address = reinterpret_cast<void*>(1);
    e = lib.GetAddress("HttpGet", address);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_PROC_NOT_FOUND)) << e.AsString();
    EXPECT_NE(e.GetMessage().find("HttpGet"), std::string::npos);
    EXPECT_NE(e.GetMessage().find("undefined symbol"), std::string::npos) << e.AsString();
    EXPECT_EQ(address, nullptr);
}

}  // namespace
