// The helper-thread pool: every part runs once, the caller's floating-point environment
// reaches the helpers and their exception flags come back, and an error in the caller's
// part waits for the helpers before it goes on.
#include <gtest/gtest.h>

#include <atomic>
#include <cfenv>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/workers.h"

TEST(Workers, EveryPartRunsOnceAndNestedCallsRunInline) {
  for (uint32_t n : {1u, 2u, 5u, 17u}) {
    std::vector<std::atomic<int>> runs(n);
    std::atomic<int> inner{0};
    run_on_workers(n, [&](uint32_t t) {
      runs[t]++;
      run_on_workers(3, [&](uint32_t) { inner++; });
    });
    for (uint32_t t = 0; t < n; t++) EXPECT_EQ(runs[t], 1) << "part " << t << " of " << n;
    EXPECT_EQ(inner, static_cast<int>(3 * n));
  }
}

TEST(Workers, FloatingPointEnvironmentGoesOutAndFlagsComeBack) {
  if (worker_threads() < 2) GTEST_SKIP() << "one hardware thread";
  std::vector<int> rounding(4, -1);
  feclearexcept(FE_ALL_EXCEPT);
  fesetround(FE_DOWNWARD);
  run_on_workers(4, [&](uint32_t t) {
    rounding[t] = fegetround();
    volatile double zero = 0.0, quotient = 0.0;
    if (t == 1) quotient = 1.0 / zero;  // a helper's part whenever there is a helper
    (void)quotient;
  });
  fesetround(FE_TONEAREST);
  for (int r : rounding) EXPECT_EQ(r, FE_DOWNWARD);
  EXPECT_TRUE(fetestexcept(FE_DIVBYZERO));
  feclearexcept(FE_ALL_EXCEPT);
}

TEST(Workers, ErrorInTheCallersPartWaitsForTheHelpers) {
  if (worker_threads() < 2) GTEST_SKIP() << "one hardware thread";
  std::atomic<int> done{0};
  EXPECT_THROW(run_on_workers(2,
                              [&](uint32_t t) {
                                if (t == 1) {
                                  std::this_thread::sleep_for(std::chrono::milliseconds(20));
                                  done++;
                                } else {
                                  throw std::runtime_error("stop");
                                }
                              }),
               std::runtime_error);
  EXPECT_EQ(done, 1);  // the helper's slower part had finished
  // The pool takes the next job as usual.
  std::atomic<int> after{0};
  run_on_workers(3, [&](uint32_t) { after++; });
  EXPECT_EQ(after, 3);
}
