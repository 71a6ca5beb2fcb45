#include "quarn/nodes/ocio/splice.h"

#include <string.h>  // memmem

#include <algorithm>
#include <initializer_list>
#include <string_view>

namespace qn::nodes::ocio {

namespace {

// The next `from` in `text` at or after `pos`, or npos. glibc's memmem skips ahead by whole
// windows; std::string::find stops at every occurrence of the first byte, which in GLSL (a
// "t" for "texture(") is every few bytes.
std::size_t find(const std::string& text, std::string_view from, std::size_t pos) {
  const void* hit = memmem(text.data() + pos, text.size() - pos, from.data(), from.size());
  return hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - text.data())
             : std::string::npos;
}

// Replaces every non-overlapping `from` in `text` by the pieces of `to`, in order, in one pass
// into one new string.
bool replace_all(std::string& text, std::string_view from,
                 std::initializer_list<std::string_view> to) {
  if (from.empty()) return false;
  std::size_t match = find(text, from, 0);
  if (match == std::string::npos) return false;
  std::size_t to_size = 0;
  for (std::string_view piece : to) to_size += piece.size();
  std::string out;
  out.reserve(text.size() + std::max<std::size_t>(to_size, 64));
  std::size_t done = 0;
  do {
    out.append(text, done, match - done);
    for (std::string_view piece : to) out.append(piece);
    done = match + from.size();
    match = find(text, from, done);
  } while (match != std::string::npos);
  out.append(text, done, std::string::npos);
  text = std::move(out);
  return true;
}

}  // namespace

std::string splice(const std::string& base, const std::string& ocio) {
  std::string result = base;
  replace_all(result, MARKER, {"\n", ocio, "\n"});
  return result;
}

bool patch_lut3d(std::string& src, const std::string& sampler) {
  const std::string from = "texture(" + sampler + ", ";
  const std::string to = std::string(LUT3D_FUNCTION) + "(" + sampler + ", ";
  return replace_all(src, from, {to});
}

void rgb_to_rgba(const float* rgb, std::size_t n, float* rgba) {
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const float* s = rgb + 3 * i;
    float* d = rgba + 4 * i;
    for (int k = 0; k < 4; ++k) {
      d[4 * k + 0] = s[3 * k + 0];
      d[4 * k + 1] = s[3 * k + 1];
      d[4 * k + 2] = s[3 * k + 2];
      d[4 * k + 3] = 1.0f;
    }
  }
  for (; i < n; ++i) {
    rgba[4 * i + 0] = rgb[3 * i + 0];
    rgba[4 * i + 1] = rgb[3 * i + 1];
    rgba[4 * i + 2] = rgb[3 * i + 2];
    rgba[4 * i + 3] = 1.0f;
  }
}

}  // namespace qn::nodes::ocio
