// tests/support/blas.h — the host's linear algebra for the xform suites: Debian's ILP64
// OpenBLAS, loaded with dlopen and handed to qn::xform::set_blas.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace qn_test {

/// The four routine addresses of libopenblas64.so.0 (dgesv_, cblas_dgemm, cblas_dgemv,
/// cblas_ddot), resolved once; the library stays loaded for the life of the process.
struct BlasAddresses {
  unsigned long gesv = 0, gemm = 0, gemv = 0, dot = 0;
};

/// The addresses, or all zeros with the loader's message in `*error`.
BlasAddresses openblas64(std::string* error = nullptr);

/// Hands OpenBLAS to qn::xform::set_blas; throws std::runtime_error when it cannot be loaded.
void install_openblas64();

/// A suite whose tests run with OpenBLAS installed as the host's routines.
class WithHostBlas : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { install_openblas64(); }
};

}  // namespace qn_test
