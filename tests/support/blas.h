// tests/support/blas.h — the host's linear algebra for the xform suites and benchmark: Debian's
// ILP64 OpenBLAS through the host helper, handed to qn::xform::set_blas.
#pragma once

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "host/host.h"
#include "quarn/xform/matrix.h"

namespace qn_test {

/// The host helper's OpenBLAS routines; std::runtime_error naming what is missing.
inline qn_host::BlasAddresses openblas64() {
  qn_host::BlasAddresses a{};
  std::string err;
  if (!qn_host::openblas64(&a, &err)) throw std::runtime_error(err);
  return a;
}

inline void install_openblas64() {
  const auto a = openblas64();
  if (!qn::xform::set_blas(a.gesv, a.gemm, a.gemv, a.dot))
    throw std::runtime_error("set_blas refused OpenBLAS");
}

/// A suite whose tests run with OpenBLAS installed.
class WithHostBlas : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { install_openblas64(); }
};

}  // namespace qn_test
