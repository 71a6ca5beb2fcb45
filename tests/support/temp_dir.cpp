#include "support/temp_dir.h"

#include <stdlib.h>

#include <stdexcept>
#include <system_error>

namespace qn_test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quarn_test_XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path openexr_images() {
  const std::filesystem::path dir = QUARN_TEST_SHARED_DIR "/images/openexr-images";
  return std::filesystem::is_directory(dir) ? dir : std::filesystem::path();
}

}  // namespace qn_test
