#include "quarn/core/version.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <climits>

TEST(CoreVersion, RuntimeMatchesHeadersAndNumbersAreSpelledWithoutLeadingZeros) {
  EXPECT_EQ(qn::oiio_header_version(), OIIO_VERSION_STRING);
  EXPECT_EQ(qn::oiio_header_version().rfind(qn::oiio_runtime_version() + ".", 0), 0u)
      << "headers and library of one OpenImageIO install";
  const struct {
    int number;
    const char* text;
  } cases[] = {
      {30118, "3.1.18"},   {30200, "3.2.0"},  {20407, "2.4.7"},          {0, "0.0.0"},
      {100099, "10.0.99"}, {-30200, "3.2.0"}, {INT_MIN, "214748.36.48"},
  };
  for (const auto& c : cases) EXPECT_EQ(qn::oiio_version_text(c.number), c.text) << c.number;
}
