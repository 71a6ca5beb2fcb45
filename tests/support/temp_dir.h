// tests/support/temp_dir.h — a private folder per test, removed with everything in it.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace qn_test {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quarn_test_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

/// ../shared/images/openexr-images beside the project root (sample files nobody here wrote), or
/// an empty path when the folder is absent.
inline std::filesystem::path openexr_images() {
  const std::filesystem::path dir = QUARN_TEST_SHARED_DIR "/images/openexr-images";
  return std::filesystem::is_directory(dir) ? dir : std::filesystem::path();
}

}  // namespace qn_test
