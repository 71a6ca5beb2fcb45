#include "quarn/graph/record.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace {

using qn::graph::Record;
using Field = Record::Field;

// Expected values are FNV-1a 64 computed by hand (offset 0x14650FB0739D0383, prime
// 0x100000001B3) over the bytes listed in each case.
struct HashCase {
  const char* name;
  std::vector<Field> layout;
  std::vector<std::uint32_t> words;
  std::vector<std::uint8_t> kinds;
  std::uint64_t expected;
};

const std::vector<HashCase>& hash_cases() {
  static const std::vector<HashCase> cases = {
      {"no fields hash to the offset", {}, {}, {}, 0x14650FB0739D0383ULL},
      {"a field of kind 2 adds its kind byte only",
       {{4, 0}},
       {7, 7, 7, 7},
       {2},
       0x44BD29D473CCF433ULL},
      {"a kind-1 field adds its value bytes, least significant first",
       {{1, 0}},
       {0x04030201},
       {1},
       0x19075EA2A852D322ULL},
      // bytes: 01 00 01 | 44 33 22 11 EF BE AD DE (field 0: words 1..2) | D0 C0 B0 A0 (field 2:
      // count 0 reads one word, word 0); field 1 (kind 0) reads nothing.
      {"kind-1 fields in field order, count below 1 reads one word",
       {{2, 1}, {5, 0}, {0, 0}},
       {0xA0B0C0D0, 0x11223344, 0xDEADBEEF},
       {1, 0, 1},
       0x416BBE09186FE0D7ULL},
      {"kinds other than 1 never read their descriptors",
       {},
       {},
       {7, 255, 0},
       0xB34BCA4F40A3B6ABULL},
  };
  return cases;
}

TEST(RecordTypedHash, MatchesHandComputedFnv) {
  for (const HashCase& c : hash_cases()) {
    Record r{c.layout, c.words, c.kinds};
    EXPECT_EQ(r.typed_hash(), c.expected) << c.name;
  }
}

TEST(RecordTypedHash, ViewsHostFloatBuffersWithoutCopying) {
  const float values[] = {1.0f};  // bits 0x3F800000
  const Field fields[] = {{1, 0}};
  const std::uint8_t kinds[] = {1};
  Record r{{fields, 1}, {reinterpret_cast<const std::uint32_t*>(values), 1}, {kinds, 1}};
  EXPECT_EQ(r.typed_hash(), 0x66034D9A46D89247ULL);
  EXPECT_EQ(r.words.data(), reinterpret_cast<const std::uint32_t*>(values));
}

TEST(RecordTypedHash, RejectsKindOneFieldsOutsideTheRecord) {
  const std::vector<std::uint32_t> words{1, 2, 3};
  const std::vector<std::uint8_t> one{1}, two{0, 1};
  const std::vector<std::vector<Field>> layouts = {
      {{4, 0}},                     // four components, three words
      {{1, 3}},                     // first word past the end
      {{0x7FFFFFFF, 0xFFFFFFFFu}},  // would overflow 32-bit arithmetic
  };
  for (const auto& layout : layouts) {
    try {
      Record{layout, words, one}.typed_hash();
      ADD_FAILURE() << "no throw";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "graph.Record.typed_hash: field outside the record");
    }
  }
  const std::vector<Field> short_layout{{1, 0}};  // field 1 has no descriptor
  EXPECT_THROW((Record{short_layout, words, two}.typed_hash()), std::invalid_argument);
}

}  // namespace
