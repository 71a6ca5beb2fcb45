#include "support/decode_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/image_files.h"

namespace qn_test {

OIIO::ImageSpec named_spec(int w, int h, OIIO::TypeDesc format,
                           const std::vector<std::string>& names) {
  OIIO::ImageSpec spec(w, h, static_cast<int>(names.size()), format);
  spec.channelnames = names;
  spec.alpha_channel = -1;
  for (size_t c = 0; c < names.size(); ++c)
    if (names[c] == "A") spec.alpha_channel = static_cast<int>(c);
  return spec;
}

std::string write_rgba(const std::string& path, int w, int h, OIIO::TypeDesc format) {
  std::string err;
  if (!write_image(path, named_spec(w, h, format), pattern(w, h, 4), &err))
    ADD_FAILURE() << "cannot write " << path << ": " << err;
  return path;
}

namespace {

class ExrHeader {
 public:
  template <typename T>
  void put(T v) {
    char b[sizeof(T)];
    std::memcpy(b, &v, sizeof(T));  // EXR is little-endian, like x86-64
    bytes_.append(b, sizeof(T));
  }
  void text(const std::string& s) { bytes_.append(s.c_str(), s.size() + 1); }
  void attribute(const std::string& name, const std::string& type, const std::string& value) {
    text(name);
    text(type);
    put<std::int32_t>(static_cast<std::int32_t>(value.size()));
    bytes_ += value;
  }
  std::string take() { return std::move(bytes_); }

 private:
  std::string bytes_;
};

std::string box(int x0, int y0, int x1, int y1) {
  ExrHeader b;
  for (int v : {x0, y0, x1, y1}) b.put<std::int32_t>(v);
  return b.take();
}

}  // namespace

std::string write_exr_header_only(const std::string& path, int side) {
  ExrHeader channels;
  for (const char* name : {"A", "B", "G", "R"}) {  // EXR keeps channels sorted by name
    channels.text(name);
    channels.put<std::int32_t>(1);  // HALF
    channels.put<std::int32_t>(0);  // pLinear + reserved
    channels.put<std::int32_t>(1);  // x sampling
    channels.put<std::int32_t>(1);  // y sampling
  }
  channels.put<char>(0);
  ExrHeader one, centre;
  one.put<float>(1.f);
  centre.put<float>(0.f);
  centre.put<float>(0.f);

  ExrHeader h;
  h.put<std::uint32_t>(20000630);  // magic
  h.put<std::uint32_t>(2);         // version 2, scanline
  h.attribute("channels", "chlist", channels.take());
  h.attribute("compression", "compression", std::string(1, '\x09'));  // DWAB: 256 rows a chunk
  h.attribute("dataWindow", "box2i", box(0, 0, side - 1, side - 1));
  h.attribute("displayWindow", "box2i", box(0, 0, side - 1, side - 1));
  h.attribute("lineOrder", "lineOrder", std::string(1, '\0'));
  h.attribute("pixelAspectRatio", "float", one.take());
  h.attribute("screenWindowCenter", "v2f", centre.take());
  h.attribute("screenWindowWidth", "float", one.take());
  h.put<char>(0);
  std::string bytes = h.take();
  // Every offset points at one tiny chunk after the table: the open succeeds, reads fail.
  const std::size_t chunks = (static_cast<std::size_t>(side) + 255) / 256;
  const std::uint64_t chunk_at = bytes.size() + chunks * 8;
  ExrHeader table;
  for (std::size_t i = 0; i < chunks; ++i) table.put<std::uint64_t>(chunk_at);
  table.put<std::int32_t>(0);  // chunk: first row,
  table.put<std::int32_t>(1);  // byte count,
  table.put<char>(0);          // bytes
  bytes += table.take();
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<long>(bytes.size()));
  return path;
}

std::vector<std::filesystem::path> files_under(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> out;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
    if (e.is_regular_file()) out.push_back(e.path());
  std::sort(out.begin(), out.end());
  return out;
}

bool allocation_failure_aborts() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return true;
#else
  return false;
#endif
}

bool is_sanitizer_allocation_abort(const std::string& text) {
  return allocation_failure_aborts() &&
         (text.find("allocator is out of memory") != std::string::npos ||
          text.find("allocation-size-too-big") != std::string::npos ||
          text.find("requested allocation size") != std::string::npos ||
          text.find("out of memory") != std::string::npos);
}

bool write_half_exr(const std::string& path, int w, int h, const std::vector<std::string>& names,
                    const std::vector<unsigned short>& halves) {
  auto out = OIIO::ImageOutput::create(path);
  if (!out) return false;
  OIIO::ImageSpec spec = named_spec(w, h, OIIO::TypeDesc::HALF, names);
  return out->open(path, spec) && out->write_image(OIIO::TypeDesc::HALF, halves.data()) &&
         out->close();
}

Gate::Gate(std::string path) : path_(std::move(path)) {
  if (mkfifo(path_.c_str(), 0600) != 0) ADD_FAILURE() << "mkfifo " << path_;
  // Holding both ends: readers open at once and then wait in read() for bytes that never come.
  fd_ = ::open(path_.c_str(), O_RDWR);
}

Gate::~Gate() { release(); }

void Gate::release() {
  if (fd_ < 0) return;
  ::unlink(path_.c_str());  // later opens find nothing and fail at once
  ::close(fd_);             // waiting readers see the end of the file
  fd_ = -1;
}

}  // namespace qn_test
