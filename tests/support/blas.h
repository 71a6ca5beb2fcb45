// tests/support/blas.h — the host's linear algebra for the xform suites and benchmark: Debian's
// ILP64 OpenBLAS, loaded with dlopen and handed to qn::xform::set_blas.
#pragma once

#include "quarn/xform/matrix.h"

#include <gtest/gtest.h>
#include "host/host.h"

#include <stdexcept>
#include <string>

namespace qn_test {

using qn_host::BlasAddresses;

/// The host helper's OpenBLAS routines; std::runtime_error naming what is missing.
inline BlasAddresses openblas64() {
  BlasAddresses a{};
  std::string err;
  if (!qn_host::openblas64(&a, &err)) throw std::runtime_error(err);
  return a;
}

/// Hands those routines to qn::xform::set_blas.
inline void install_openblas64() {
  const BlasAddresses a = openblas64();
  if (!qn::xform::set_blas(a.gesv, a.gemm, a.gemv, a.dot))
    throw std::runtime_error("set_blas refused OpenBLAS");
}

/// A suite whose tests run with OpenBLAS installed as the host's routines.
class WithHostBlas : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { install_openblas64(); }
};

}  // namespace qn_test
