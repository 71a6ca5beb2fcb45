// quarn/nodes/merge/channels.h — channel knobs of the copy, shuffle and channel-merge nodes,
// parsed from text: a channel word ("red", "a"), a layer and channel joined by the last dot
// ("rgba.alpha", "depth.z"), or a shuffle node's whole routing list in one string.
//
// Channel indices: 0 red, 1 green, 2 blue, 3 alpha. Whitespace and trimming are those of
// quarn/nodes/merge/operations.h. Lower-casing touches only A to Z.
//
// Integer tokens (in shuffle routing lists): an optional "+" or "-" then decimal digits, a single
// "_" allowed between two digits. Values beyond the int64 range saturate at its limits; a sign
// alone, a stray underscore or any other byte makes the token not a number.
//
// Pure functions: nothing owned, nothing locked, any thread. Nothing fails: texts that do not
// parse give the neutral values each function names (channel 0, no value, -1, unrouted). Only
// allocation failure can throw (the layer strings of `ChannelRef`).
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "quarn/export.h"

namespace qn::nodes::merge {

/// The channel-merge operations; the position of a name is its operation code.
QN_API extern const std::array<const char*, 14> CHANNELMERGE_OPS;

/// A layer and a channel index (0..3; -1 where a function says so).
struct ChannelRef {
  std::string layer;
  int channel = 0;
};

/// One output channel of a shuffle: kind 0 not routed, 1 black, 2 white, 3 channel `slot`
/// (0..3) of input `input` (0 or 1). The zero route is {0, 0, 0}.
struct Route {
  int kind = 0;
  int input = 0;
  int slot = 0;
};

/// A channel word alone gives {"rgba", c}; "layer.word" (word in any case) gives {layer, c};
/// otherwise the trimmed text names a layer: {"rgba", 3} for exactly "rgba", else {text, 0}.
QN_API ChannelRef common_parse_channel(std::string_view s);

/// Only "layer.word" with a non-empty layer and a channel word in any case gives a value.
QN_API std::optional<ChannelRef> copy_parse_channel(std::string_view s);

/// Index of `name` (exact, untrimmed) in `CHANNELMERGE_OPS`, or -1.
QN_API int channelmerge_op(std::string_view name);

/// The first token of the trimmed text with its outer braces removed ("none" when there is
/// none). A token starting with "-", or "none", is negated: channel -1. Otherwise the channel
/// of the lower-cased suffix after the last dot ("r"/"g"/"b"/"a", "green"/"blue"/"alpha"; 0 for
/// anything else); the layer is the text before that dot, "rgba" when it is empty.
QN_API ChannelRef channelmerge_split(std::string_view s);

/// The slot (0..3) a shuffle channel name stands for: 0 for layers "depth" and "z"; else by
/// the lower-cased channel word (r x u red / g y v green / b z blue / a w alpha); else
/// `fallback` when it is 0..3; else -1.
QN_API int shuffle_slot_of(std::string_view name, long long fallback);

/// Parses "n  src in fb  dst out fb  ..." (n records of six tokens) into eight routes: routes
/// 0-3 feed the first output, 4-7 the second. A record sets nothing when its input, output or
/// a fallback is not a number, its output is not 0 or 1, its target names no slot, or (for a
/// source other than "black" and "white") its input is not 0 or 1; an unknown source channel
/// routes black. Later records overwrite earlier ones; parsing stops when a record lacks
/// tokens. Always returns true.
QN_API bool shuffle_routing(std::string_view spec, std::array<Route, 8>& routes);

/// One shader code per route: 0-3 the first input's channels, 6-9 the second's, 4 black,
/// 5 white. Unrouted gives 10 with `alt_default`, else 4; a route from a missing input gives 4.
/// Codes of routes from out-of-range inputs or slots (which the parser never makes) are
/// computed without overflow as input x 6 + slot.
QN_API std::array<float, 4> shuffle_codes(const std::array<Route, 4>& routes, bool alt_default,
                                          bool has_input0, bool has_input1);

}  // namespace qn::nodes::merge
