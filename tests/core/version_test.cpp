#include "quarn/core/version.h"

#include <gtest/gtest.h>

#include <climits>

// The runtime library belongs to the headers' install; numbers are spelled without leading
// zeros, negative ones (no release has them) as their absolute value, INT_MIN included.
TEST(CoreVersion, RuntimeMatchesHeadersAndNumbersAreSpelledWithoutLeadingZeros) {
  EXPECT_EQ(qn::oiio_header_version().rfind(qn::oiio_runtime_version() + ".", 0), 0u);
  const std::pair<int, const char*> cases[] = {
      {30118, "3.1.18"}, {30200, "3.2.0"},          {100099, "10.0.99"},
      {-30200, "3.2.0"}, {INT_MIN, "214748.36.48"},
  };
  for (const auto& [number, text] : cases) EXPECT_EQ(qn::oiio_version_text(number), text);
}
