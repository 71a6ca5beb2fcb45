// tests/support/messages.h — asserting the exact text of an exception.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace qn_test {

/// `call` throws an `E` whose what() is exactly `message`.
template <typename E>
void expect_message(const std::function<void()>& call, const std::string& message) {
  try {
    call();
    ADD_FAILURE() << "no exception; expected \"" << message << "\"";
  } catch (const E& e) {
    EXPECT_EQ(e.what(), message);
  }
}

}  // namespace qn_test
