// xform/hooks.h — the host's linear-algebra routines as typed calls, and the 3×3 arithmetic
// built on them.
//
// Every xform operation takes one `Blas` snapshot at its entry (`blas()` refuses while any
// address is null) and hands it down, so no routine is ever reached through a null pointer.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace qn::xform::detail {

using Matrix = std::array<double, 9>;
using Box = std::array<long, 4>;

// CBLAS enumerators as the routines expect them.
inline constexpr int kRowMajor = 101;
inline constexpr int kNoTrans = 111;

using GesvFn = void (*)(const int64_t* n, const int64_t* nrhs, double* a, const int64_t* lda,
                        int64_t* ipiv, double* b, const int64_t* ldb, int64_t* info);
using GemmFn = void (*)(int order, int trans_a, int trans_b, int64_t m, int64_t n, int64_t k,
                        double alpha, const double* a, int64_t lda, const double* b, int64_t ldb,
                        double beta, double* c, int64_t ldc);
using GemvFn = void (*)(int order, int trans, int64_t m, int64_t n, double alpha, const double* a,
                        int64_t lda, const double* x, int64_t incx, double beta, double* y,
                        int64_t incy);
using DotFn = double (*)(int64_t n, const double* x, int64_t incx, const double* y, int64_t incy);

struct Blas {
  GesvFn gesv;
  GemmFn gemm;
  GemvFn gemv;
  DotFn dot;
};

/// The current routines; throws std::logic_error while any of them is unset.
Blas blas();

inline constexpr Matrix kIdentity{1, 0, 0, 0, 1, 0, 0, 0, 1};

/// Solves the row-major 3×3 system A X = B in place of the row-major 3×k right-hand side `b`
/// (k = 1, 2 or 3). False, with `b` untouched, when the factorisation is singular.
bool solve3(const Blas& f, const Matrix& a, double* b, int k);

std::optional<Matrix> inverse(const Blas& f, const Matrix& m);
Matrix product(const Blas& f, const Matrix& a, const Matrix& b);

/// m (x, y, 1) as (X, Y, W).
std::array<double, 3> apply(const Blas& f, const Matrix& m, double x, double y);

std::optional<Box> h_bbox(const Blas& f, const Box& box, const Matrix& m, long pad);

}  // namespace qn::xform::detail
