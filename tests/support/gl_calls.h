// tests/support/gl_calls.h — counting the GL calls the library makes, by swapping the exported
// qn::gpu::gl pointers for forwarding wrappers, as a host may.
//
// While a GlCallLog lives, every call through one of the sixteen pointers is recorded by name
// (without the "gl" prefix) and forwarded to the pointer that was there before. One log at a
// time; the GL thread only.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace qn_test {

class GlCallLog {
 public:
  GlCallLog();   // installs the wrappers
  ~GlCallLog();  // puts back the saved pointers wherever a wrapper is still installed
  GlCallLog(const GlCallLog&) = delete;
  GlCallLog& operator=(const GlCallLog&) = delete;

  const std::vector<std::string_view>& calls() const { return calls_; }
  std::size_t size() const { return calls_.size(); }
  std::size_t count(std::string_view name) const;
  /// Calls whose name starts with "ProgramUniform".
  std::size_t uniform_calls() const;
  void clear() { calls_.clear(); }

  void record(std::string_view name) { calls_.push_back(name); }

 private:
  std::vector<std::string_view> calls_;
};

}  // namespace qn_test
