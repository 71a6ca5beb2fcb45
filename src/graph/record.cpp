#include "quarn/graph/record.h"

#include <algorithm>
#include <stdexcept>

namespace qn::graph {
namespace {

constexpr std::uint64_t kOffset = 0x14650FB0739D0383ULL;
constexpr std::uint64_t kPrime = 0x100000001B3ULL;
constexpr std::uint8_t kHashedKind = 1;

std::uint64_t fold(std::uint64_t h, const unsigned char* bytes, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) h = (h ^ bytes[i]) * kPrime;
  return h;
}

std::uint64_t components(const Record::Field& f) {
  return static_cast<std::uint64_t>(std::max<std::int32_t>(f.components, 1));
}

void check_fields(const Record& r) {
  for (std::size_t i = 0; i < r.kinds.size(); ++i) {
    if (r.kinds[i] != kHashedKind) continue;
    if (i >= r.layout.size() ||
        std::uint64_t{r.layout[i].first_word} + components(r.layout[i]) > r.words.size())
      throw std::invalid_argument("graph.Record.typed_hash: field outside the record");
  }
}

}  // namespace

std::uint64_t Record::typed_hash() const {
  check_fields(*this);
  std::uint64_t h = fold(kOffset, kinds.data(), kinds.size());
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    if (kinds[i] != kHashedKind) continue;
    const auto* first = reinterpret_cast<const unsigned char*>(words.data() + layout[i].first_word);
    h = fold(h, first, 4 * components(layout[i]));
  }
  return h;
}

}  // namespace qn::graph
