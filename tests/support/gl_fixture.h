// tests/support/gl_fixture.h — the fixture of the gpu suites.
//
// Every test starts on the main thread with the process's shared GL context current and the
// GPU layer loaded for it. When no EGL display can be made at all the test is skipped, and the
// skip says so in capitals on stderr; any later failure (context, current, load) fails it.
#pragma once

#include <gtest/gtest.h>

#include "support/gl_api.h"
#include "support/gl_context.h"

namespace qn_test {

class GlTest : public ::testing::Test {
 protected:
  void SetUp() override;

  /// Created on first use, kept for the life of the process.
  static GlContext& shared_context();
};

}  // namespace qn_test
