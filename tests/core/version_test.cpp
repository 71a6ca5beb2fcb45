#include "quarn/core/version.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(CoreVersion, IsStaticTextThatNeverChanges) {
  const char* first = qn::core_version();
  EXPECT_STREQ(first, "0.1.0");
  EXPECT_EQ(first, qn::core_version());
}
