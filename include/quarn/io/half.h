// quarn/io/half.h — exact widening of IEEE 754 binary16 ("half") values to binary32 floats.
//
// A half is a 16-bit pattern: sign bit 15, five exponent bits 10–14 (bias 15), ten mantissa bits.
// Every half is exactly representable as a float, so the widening is exact and has one right
// answer per pattern, NaN payloads included:
//
//   half 0x3C00 = 0 01111 0000000000  ->  float 0x3F800000 = 1.0       (exponent 15 -> 127)
//   half 0x0001 = 2^-24, subnormal    ->  float 0x33800000             (normalised)
//   half 0x7C01 = signalling NaN      ->  float 0x7F802000             (payload kept, still
//   signalling)
//
// Two paths produce the same bits for every input: an AVX/F16C path, chosen once per process from
// the processor's feature report, and a scalar path. The hardware instruction quiets NaNs, so the
// vector path hands any group of eight that holds an infinity or NaN to the scalar rule. Very
// large outputs are written with streaming stores, which bypass the caches; the bits are the same.
//
// Owns nothing. Threads: stateless apart from the once-set path choice; any thread, any number at
// once, on arrays that do not overlap. Never fails; n = 0 does nothing.
#pragma once

#include "quarn/export.h"

namespace qn::io {

/// Widens `n` halves at `src` into `n` floats at `dst`. Neither pointer needs any alignment;
/// the two arrays must not overlap.
QN_API void half_to_float(const unsigned short* src, float* dst, unsigned long n);

/// The scalar path alone, whatever the processor offers: the reference the vector path is held
/// to (tests compare the two on machines that have F16C).
QN_API void half_to_float_scalar(const unsigned short* src, float* dst, unsigned long n);

/// Whether `half_to_float` takes the AVX/F16C path in this process.
QN_API bool half_to_float_is_vectorised();

}  // namespace qn::io
