// quarn/graph/record.h — a node's parameter block as the host lays it out, and its hash.
//
// A Record is a view: three spans over arrays the host already owns (its field table, its
// packed value words, its per-field kinds). Building one copies nothing and allocates nothing,
// so the host can hash a node's parameters straight out of its own buffers. The arrays must
// outlive every call on the Record; the Record never owns or frees them.
//
// Building one over host arrays:
//
//   // C++: any contiguous storage works; a float buffer is passed as its 32-bit words.
//   qn::graph::Record r{{fields, n_fields}, {reinterpret_cast<const uint32_t*>(vals), n_vals},
//                       {kinds, n_fields}};
//   // From Python, numpy arrays of dtypes [('components', '<i4'), ('first_word', '<u4')],
//   // '<u4' (or a float32 array's .view('<u4')) and 'u1' give the three pointers and lengths.
//
// typed_hash reads the value words only as bytes, so viewing a float or int32 buffer as
// uint32_t words is safe. Pure; callable from any thread; takes no locks.
// Fails with std::invalid_argument "graph.Record.typed_hash: field outside the record" when a
// field of kind 1 has no descriptor or its values run past the end of `words`.
#pragma once

#include <cstdint>
#include <span>

#include "quarn/export.h"

namespace qn::graph {

struct QN_API Record {
  /// Descriptor of one field: how many 32-bit components it has and where the first one is.
  struct Field {
    std::int32_t components;   // < 1 counts as 1
    std::uint32_t first_word;  // index into `words`
  };

  std::span<const Field> layout;         // descriptors, indexed by field number
  std::span<const std::uint32_t> words;  // packed value words of every field
  std::span<const std::uint8_t> kinds;   // one kind byte per field; its length is the field count

  /// FNV-1a (64-bit prime, offset 0x14650FB0739D0383) over every kind byte in order, then over
  /// the value bytes (memory order) of each field whose kind is 1. Other kinds contribute only
  /// their kind byte. A record with no fields hashes to 0x14650FB0739D0383.
  std::uint64_t typed_hash() const;
};

}  // namespace qn::graph
