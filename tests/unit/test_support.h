// Shared fixture for unit tests: every test must leave the counting allocator and the
// temporary pool as it found them.
#pragma once

#include <gtest/gtest.h>

#include "base/message.h"
#include "values/temps.h"
#include "values/variable.h"

class VekTest : public ::testing::Test {
 protected:
  void SetUp() override {
    temp_list_handler(2);
    baseline_ = mem_counters.bytes_in_use;
  }
  void TearDown() override {
    EXPECT_EQ(temp_list_handler(3), 0) << "temporaries left checked out";
    temp_list_handler(2);
    EXPECT_EQ(mem_counters.bytes_in_use, baseline_) << "value memory leaked";
  }
  uint32_t baseline_ = 0;
};

// Runs f and returns the message code it raised as an error (0 if none).
template <typename F>
int error_code_of(F&& f) {
  try {
    f();
  } catch (const VekJump& j) {
    return j.code;
  }
  return 0;
}
