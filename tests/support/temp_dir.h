// tests/support/temp_dir.h — a private folder per test, removed with everything in it.
#pragma once

#include <filesystem>
#include <string>

namespace qn_test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  /// `path() / name` as a string, for APIs that take text paths.
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

/// ../shared/images/openexr-images beside the project root (sample files nobody here wrote), or
/// an empty path when the folder is absent.
std::filesystem::path openexr_images();

}  // namespace qn_test
