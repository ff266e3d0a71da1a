#include "core/zqScopeGuard.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace zq {
namespace {

TEST(ScopeGuard, RunsOnReturnAndOnExceptionButNotWhenDismissed) {
  int runs = 0;
  {
    TzqScopeGuard guard([&] { ++runs; });
  }
  EXPECT_EQ(runs, 1);
  EXPECT_THROW(
      {
        TzqScopeGuard guard([&] { ++runs; });
        throw std::runtime_error("work failed");
      },
      std::runtime_error);
  EXPECT_EQ(runs, 2);
  {
    TzqScopeGuard guard([&] { ++runs; });
    guard.Dismiss();
  }
  EXPECT_EQ(runs, 2);
}

TEST(ScopeGuard, AFailingCleanupLeavesTheFirstErrorStanding) {
  try {
    TzqScopeGuard guard([] { throw std::logic_error("cleanup failed"); });
    throw std::runtime_error("work failed");
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "work failed");
  }
}

}  // namespace
}  // namespace zq
