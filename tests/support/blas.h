// tests/support/blas.h — the host's linear algebra for the xform suites and benchmark: Debian's
// ILP64 OpenBLAS, loaded with dlopen and handed to qn::xform::set_blas.
#pragma once

#include "quarn/xform/matrix.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace qn_test {

struct BlasAddresses {
  unsigned long gesv, gemm, gemv, dot;
};

/// dgesv_, cblas_dgemm, cblas_dgemv and cblas_ddot of libopenblas64.so.0, resolved once (the
/// library stays loaded); std::runtime_error naming what is missing when it cannot be loaded.
inline BlasAddresses openblas64() {
  static const BlasAddresses loaded = [] {
    void* lib = dlopen("libopenblas64.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!lib) throw std::runtime_error(dlerror());
    const auto find = [lib](const char* name) {
      if (void* p = dlsym(lib, name)) return reinterpret_cast<unsigned long>(p);
      throw std::runtime_error(std::string("libopenblas64.so.0 lacks ") + name);
    };
    return BlasAddresses{find("dgesv_"), find("cblas_dgemm"), find("cblas_dgemv"),
                         find("cblas_ddot")};
  }();
  return loaded;
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
