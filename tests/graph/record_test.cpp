#include "quarn/graph/record.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace {

using qn::graph::Record;

// Expected values: FNV-1a 64 worked out by hand over the bytes each case names. kOutside: the
// record is refused.
TEST(RecordTypedHash, MatchesHandComputedFnvOrRefusesFieldsOutsideTheRecord) {
  constexpr std::uint64_t kOutside = 0;
  struct Case {
    std::vector<Record::Field> layout;
    std::vector<std::uint32_t> words;
    std::vector<std::uint8_t> kinds;
    std::uint64_t expected;
  };
  const std::vector<Case> cases = {
      {{}, {}, {}, 0x14650FB0739D0383ULL},                   // no fields: the offset
      {{{4, 0}}, {7, 7, 7, 7}, {2}, 0x44BD29D473CCF433ULL},  // kind 2: its kind byte only
      {{}, {}, {7, 255, 0}, 0xB34BCA4F40A3B6ABULL},          // no kind 1: no descriptor read
      {{{1, 0}}, {0x04030201}, {1}, 0x19075EA2A852D322ULL},  // kind 1: bytes 01 02 03 04
      // 01 00 01 | 44 33 22 11 EF BE AD DE (field 0: words 1..2) | D0 C0 B0 A0 (field 2: count
      // 0 reads one word, word 0); field 1 (kind 0) reads nothing.
      {{{2, 1}, {5, 0}, {0, 0}},
       {0xA0B0C0D0, 0x11223344, 0xDEADBEEF},
       {1, 0, 1},
       0x416BBE09186FE0D7ULL},
      {{{4, 0}}, {1, 2, 3}, {1}, kOutside},                     // four components, three words
      {{{1, 3}}, {1, 2, 3}, {1}, kOutside},                     // first word past the end
      {{{0x7FFFFFFF, 0xFFFFFFFFu}}, {1, 2, 3}, {1}, kOutside},  // past 32-bit arithmetic
      {{{2, 0xFFFFFFFFu}}, {1, 2, 3}, {1}, kOutside},           // wraps to 1 in 32 bits
      {{{1, 0}}, {1, 2, 3}, {0, 1}, kOutside},                  // field 1 has no descriptor
  };
  for (const Case& c : cases) {
    const Record r{c.layout, c.words, c.kinds};
    if (c.expected == kOutside)
      EXPECT_THAT([&] { r.typed_hash(); },
                  testing::ThrowsMessage<std::invalid_argument>(
                      testing::StrEq("graph.Record.typed_hash: field outside the record")));
    else
      EXPECT_EQ(r.typed_hash(), c.expected);  // a failure prints the value, naming the case
  }
}

}  // namespace
