// tests/support/blas.h — the host's linear algebra for the xform suites and benchmark: Debian's
// ILP64 OpenBLAS, loaded with dlopen and handed to qn::xform::set_blas.
#pragma once

#include <gtest/gtest.h>

namespace qn_test {

/// dgesv_, cblas_dgemm, cblas_dgemv and cblas_ddot of libopenblas64.so.0, resolved once (the
/// library stays loaded); std::runtime_error naming what is missing when it cannot be loaded.
struct BlasAddresses {
  unsigned long gesv, gemm, gemv, dot;
};
BlasAddresses openblas64();

/// Hands those routines to qn::xform::set_blas.
void install_openblas64();

/// A suite whose tests run with OpenBLAS installed as the host's routines.
class WithHostBlas : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { install_openblas64(); }
};

}  // namespace qn_test
