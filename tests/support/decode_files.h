// tests/support/decode_files.h — image files for the whole-file readers' suites.
//
// Builds on image_files.h: ready specs for RGBA files and a few files OpenImageIO's writers will
// not make (a header that declares an absurd size).
#pragma once

#include <OpenImageIO/imageio.h>

#include <filesystem>
#include <string>
#include <vector>

namespace qn_test {

/// A w × h spec with the given channel names, all of pixel type `format`.
OIIO::ImageSpec named_spec(int w, int h, OIIO::TypeDesc format,
                           const std::vector<std::string>& names = {"R", "G", "B", "A"});

/// Writes a w × h RGBA file of `format` at `path` with `pattern` pixels; fails the calling test
/// (ADD_FAILURE) when it cannot. Returns `path`.
std::string write_rgba(const std::string& path, int w, int h,
                       OIIO::TypeDesc format = OIIO::TypeDesc::HALF);

/// A scanline RGBA half EXR whose header declares a `side` × `side` data window but holds no
/// readable pixels (every chunk offset points at one empty chunk). Returns `path`.
std::string write_exr_header_only(const std::string& path, int side);

/// Every file under `dir` (recursive), sorted by path.
std::vector<std::filesystem::path> files_under(const std::filesystem::path& dir);

/// True in builds whose sanitizer runtime aborts on an allocation it cannot satisfy instead of
/// throwing std::bad_alloc (AddressSanitizer, ThreadSanitizer): tests of allocation failures
/// skip there.
bool allocation_failure_aborts();

/// The sanitizer's report of such an aborted allocation, when `text` (a child's stderr) holds one.
bool is_sanitizer_allocation_abort(const std::string& text);

/// Writes `halves` (w × h × c half patterns, channels named `names`) verbatim as a half EXR.
bool write_half_exr(const std::string& path, int w, int h, const std::vector<std::string>& names,
                    const std::vector<unsigned short>& halves);

/// A named pipe at `path` that holds back every reader: a decode of it blocks inside the open
/// until `release`, then fails as an unopenable file. Released on destruction at the latest.
class Gate {
 public:
  explicit Gate(std::string path);
  ~Gate();
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;
  const std::string& path() const { return path_; }
  void release();

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace qn_test
