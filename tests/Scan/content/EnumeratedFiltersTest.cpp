#include <gtest/gtest.h>

#include <list>

#include "scan/content/EnumeratedFilters.h"
#include "scan/content/FilterEnumerator.h"
#include "support/TestSupport.h"

namespace {

// A source with a name that adds one filter of each form.
class NamedSource : public CEnumeratedFilters {
public:
    using CEnumeratedFilters::Process;
    explicit NamedSource(std::string name) : m_name(std::move(name)) {}
    CKoError Process() override {
        CKoError e = AddFolderFilter("/b");
        if (e.IsSuccess()) e = AddFileFilter("/a");
        if (e.IsSuccess()) e = AddWildcardFilter("*.tmp");
        if (e.IsSuccess()) e = AddFolderFilterException("/b/keep");
        return e;
    }
    std::string GetFilterName() const override { return m_name; }

private:
    std::string m_name;
};

TEST(BuiltInFilterManager, OptionsIgnoreOrMarkSourcesByNameInAnyCase) {
    CBuiltInFilterManager m;
    testsupport::ScopedLogCapture log(5);
    ASSERT_TRUE(m.ProcessFilterOption("+ SingleInstanceDatabaseFiles ").IsSuccess());
    ASSERT_TRUE(m.ProcessFilterOption("-Other").IsSuccess());
    ASSERT_TRUE(m.ProcessFilterOption("").IsSuccess());
    ASSERT_TRUE(m.ProcessFilterOption("*weird").IsSuccess());
    EXPECT_TRUE(m.IsFilterOptional("singleinstancedatabasefiles"));
    EXPECT_FALSE(m.IsFilterIgnored("SingleInstanceDatabaseFiles"));
    EXPECT_TRUE(m.IsFilterIgnored("OTHER"));
    EXPECT_FALSE(m.IsFilterIgnored("*weird"));
    EXPECT_FALSE(m.IsFilterIgnored("weird"));
    EXPECT_TRUE(log.Log().Contains("Unknown option, FilterOption=*weird"));
    EXPECT_TRUE(log.Log().Contains("OptionalFilterName=SingleInstanceDatabaseFiles"));
}

TEST(EnumeratedFilters, SourcesCollectSortedUniqueStringsUnlessIgnored) {
    auto manager = std::make_shared<CBuiltInFilterManager>();
    ASSERT_TRUE(manager->ProcessFilterOption("-named").IsSuccess());

    NamedSource ignored("Named");
    ASSERT_TRUE(ignored.Process(manager).IsSuccess());
    std::list<std::string> list;
    ASSERT_TRUE(ignored.GetFilters(list).IsSuccess());
    EXPECT_TRUE(list.empty());

    NamedSource unnamed("");  // never ignored, whatever the manager holds
    ASSERT_TRUE(unnamed.Process(manager).IsSuccess());
    ASSERT_TRUE(unnamed.AddFilter("/a").IsSuccess());  // a repeat collapses
    ASSERT_TRUE(unnamed.AddFilter("/A").IsSuccess());  // another case is another entry
    ASSERT_TRUE(unnamed.AddFilter("").IsSuccess());    // nothing
    ASSERT_TRUE(unnamed.GetFilters(list).IsSuccess());
    EXPECT_EQ(list, (std::list<std::string>{"*.tmp", "/A", "/a", "/b"}));
    RawFileNameFilterSet exceptions;
    ASSERT_TRUE(unnamed.GetFilterExceptions(exceptions).IsSuccess());
    EXPECT_EQ(exceptions, (RawFileNameFilterSet{"/b/keep"}));

    CEnumeratedFilters withClient("host1", true);
    EXPECT_EQ(withClient.GetClientName(), "host1");
    EXPECT_TRUE(withClient.IsCalledFromService());
    EXPECT_TRUE(withClient.GetUseGetLongPathName());
    withClient.SetUseGetLongPathName(false);
    EXPECT_FALSE(withClient.GetUseGetLongPathName());

    CFilterEnumerator base("inst", "client", 1, "/jr");
    ASSERT_TRUE(base.Process(manager).IsSuccess());
    EXPECT_TRUE(base.GetFilters().empty());
}

}  // namespace
