#include <gtest/gtest.h>

#include "scan/content/ProxyContentMapper.h"
#include "scan/content/ProxyItemConsumer.h"

namespace {

TEST(ProxyItemConsumer, TranslatesThroughItsMapper) {
    CProxyItemConsumer consumer(42);
    EXPECT_EQ(consumer.GetId(), 42);
    std::string source;
    ASSERT_TRUE(consumer.TranslateToSourcePath("/snap/a", source).IsSuccess());
    EXPECT_EQ(source, "/snap/a");

    auto mapper = std::make_shared<CContentMapper>();
    mapper->SetSourceToLocalMap({{"/data/", "/snap/"}});
    consumer.SetContentMapper(mapper);
    ASSERT_TRUE(consumer.TranslateToSourcePath("/snap/a", source).IsSuccess());
    EXPECT_EQ(source, "/data/a");

    // A proxy/host mapper that was never enabled cannot translate.
    consumer.SetContentMapper(std::make_shared<ContentMapper>());
    CKoError e = consumer.TranslateToSourcePath("/snap/a", source);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_PARAMETER));
    EXPECT_EQ(e.GetMessage(), "Failed to convert proxy path to host path, LocalFolder=/snap/a");

    auto item = std::make_shared<CItem>();
    EXPECT_TRUE(consumer.Process(item).IsSuccess());
    EXPECT_EQ(consumer.getProcessedItemsCount(), 1);
}

}  // namespace
