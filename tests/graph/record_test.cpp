#include "quarn/graph/record.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace {

using qn::graph::Record;
using Field = Record::Field;

// Expected values: FNV-1a 64 worked out by hand over the bytes each case names.
TEST(RecordTypedHash, MatchesHandComputedFnv) {
  struct Case {
    std::vector<Field> layout;
    std::vector<std::uint32_t> words;
    std::vector<std::uint8_t> kinds;
    std::uint64_t expected;
  };
  const std::vector<Case> cases = {
      {{}, {}, {}, 0x14650FB0739D0383ULL},                   // no fields: the offset
      {{{4, 0}}, {7, 7, 7, 7}, {2}, 0x44BD29D473CCF433ULL},  // kind 2: its kind byte only
      {{{1, 0}}, {0x04030201}, {1}, 0x19075EA2A852D322ULL},  // kind 1: bytes 01 02 03 04
      {{}, {}, {7, 255, 0}, 0xB34BCA4F40A3B6ABULL},          // no kind 1: no descriptor read
      {{{1, 0}}, {0x3F800000}, {1}, 0x66034D9A46D89247ULL},  // a float 1.0f viewed as a word
      // 01 00 01 | 44 33 22 11 EF BE AD DE (field 0: words 1..2) | D0 C0 B0 A0 (field 2: count
      // 0 reads one word, word 0); field 1 (kind 0) reads nothing.
      {{{2, 1}, {5, 0}, {0, 0}},
       {0xA0B0C0D0, 0x11223344, 0xDEADBEEF},
       {1, 0, 1},
       0x416BBE09186FE0D7ULL},
  };
  for (std::size_t i = 0; i < cases.size(); ++i)
    EXPECT_EQ((Record{cases[i].layout, cases[i].words, cases[i].kinds}.typed_hash()),
              cases[i].expected)
        << "case " << i;
}

TEST(RecordTypedHash, RejectsKindOneFieldsOutsideTheRecord) {
  const std::vector<std::uint32_t> words{1, 2, 3};
  const std::vector<std::uint8_t> one{1}, two{0, 1};
  const std::vector<std::vector<Field>> layouts = {
      {{4, 0}},                     // four components, three words
      {{1, 3}},                     // first word past the end
      {{0x7FFFFFFF, 0xFFFFFFFFu}},  // would overflow 32-bit arithmetic
      {{1, 0}},                     // with kinds `two`: field 1 has no descriptor
  };
  for (std::size_t i = 0; i < layouts.size(); ++i) {
    try {
      Record{layouts[i], words, i == 3 ? two : one}.typed_hash();
      ADD_FAILURE() << "no throw, case " << i;
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "graph.Record.typed_hash: field outside the record");
    }
  }
}

}  // namespace
