#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "scan/jobstate/StateManager.h"
#include "support/TestSupport.h"

namespace {

// Every operation loads, changes and saves the whole document: without the manager's lock two
// threads would each save their own change over the other's.
TEST(StateManagerThreads, ThreadsSharingAManagerLoseNoUpdate) {
    testsupport::ScopedTempDir dir;
    CStateManager shared(dir / "JobState.xml");
    constexpr int kThreads = 4, kJobsPerThread = 6;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, copy = shared]() mutable {  // copies share the lock
            for (int j = 0; j < kJobsPerThread; ++j) {
                const int64_t id = 1 + t * kJobsPerThread + j;
                ASSERT_TRUE(copy.UpdateCurrentJob(id, CTimeStamp(), "", 2).IsSuccess());
                CKoXDocument doc;
                CKoXNodePtr node;
                ASSERT_TRUE(doc.AppendNode("Progress", node).IsSuccess());
                ASSERT_TRUE(node->SetAttributeLONGLONG("Of", id).IsSuccess());
                ASSERT_TRUE(copy.AddOrReplaceNodeInJob(id, node, "Progress").IsSuccess());
                CKoXNodePtr got;
                ASSERT_TRUE(copy.GetGenericNodeInJob(id, got, "Progress").IsSuccess());
                EXPECT_EQ(got->AttributeAsLONGLONG("Of"), id);
            }
        });
    }
    for (std::thread& t : threads) t.join();

    SStateSummary summary;
    ASSERT_TRUE(shared.GetSummary(summary).IsSuccess());
    EXPECT_EQ(summary.jobs.size(), static_cast<size_t>(kThreads * kJobsPerThread));
    EXPECT_EQ(summary.pending.size(), static_cast<size_t>(kThreads * kJobsPerThread));
    for (long long id : summary.jobs) {
        CKoXNodePtr got;
        ASSERT_TRUE(shared.GetGenericNodeInJob(id, got, "Progress").IsSuccess()) << id;
        EXPECT_EQ(got->AttributeAsLONGLONG("Of"), id);
    }
}

}  // namespace
