// tests/support/throws.h — a matcher for calls that must throw one exception type with one
// exact message.
#pragma once

#include <gmock/gmock.h>

namespace qn_test {

/// Matches a call that throws an `E` whose what() is exactly `message`.
template <typename E>
auto throws(const char* message) {
  return testing::ThrowsMessage<E>(testing::StrEq(message));
}

}  // namespace qn_test
