// quarn/xform/matrix.h — 3×3 homogeneous matrices on the host's linear-algebra routines.
//
// A matrix is `std::array<double, 9>`, row-major, acting on column vectors (x, y, 1):
//   x' = (m0 x + m1 y + m2) / (m6 x + m7 y + m8),  y' = (m3 x + m4 y + m5) / (m6 x + m7 y + m8).
// An integer box is `std::array<long, 4>` = (x0, y0, x1, y1) in pixel-edge coordinates, x1 and
// y1 exclusive. Every xform header shares these two shapes.
//
// Owns: the four process-wide addresses of the host's routines (null at load time, never reset
// by the library). The routines themselves, and the library that holds them, stay the host's.
// ILP64 interfaces, every integer 64 bits wide:
//   gesv  LAPACK dgesv, all arguments by pointer (n, nrhs, A, lda, ipiv, B, ldb, info)
//   gemm  cblas_dgemm      gemv  cblas_dgemv      dot  cblas_ddot
//
// Threads: `set_blas` must not run concurrently with any other xform call; everything else is
// reentrant and takes no locks.
//
// Failures, shared by every xform operation:
//   - std::logic_error "xform: linear-algebra routines not set (call set_blas first)" from any
//     operation other than `set_blas`/`has_blas` while `has_blas()` is false;
//   - a computed coordinate that must become an integer raises std::invalid_argument
//     "cannot convert float NaN to integer" when NaN, and std::overflow_error
//     "cannot convert float infinity to integer" when its magnitude is 9.2e18 or more (or when
//     integer arithmetic on it, such as growing a box by `pad`, would leave the 64-bit range);
//   - a singular or degenerate case is an empty optional, never an exception.
#pragma once

#include "quarn/export.h"

#include <array>
#include <optional>

namespace qn::xform {

/// Stores the addresses of the host's dgesv, cblas_dgemm, cblas_dgemv and cblas_ddot,
/// replacing earlier ones. Returns `has_blas()` afterwards.
QN_API bool set_blas(unsigned long gesv, unsigned long gemm, unsigned long gemv, unsigned long dot);

/// All four addresses are non-null.
QN_API bool has_blas();

/// m⁻¹, or none when the solve finds a singular factor.
QN_API std::optional<std::array<double, 9>> inverse(const std::array<double, 9>& m);

/// a × b.
QN_API std::array<double, 9> product(const std::array<double, 9>& a,
                                     const std::array<double, 9>& b);

/// The integer box covering `box` mapped through `m`, grown by `pad` on every side; none when a
/// corner reaches the horizon of the projection (w ≤ 1e-9). An edge within a millionth of a
/// pixel boundary does not add a row or column.
QN_API std::optional<std::array<long, 4>> h_bbox(const std::array<long, 4>& box,
                                                 const std::array<double, 9>& m, long pad);

}  // namespace qn::xform
