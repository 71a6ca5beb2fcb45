#include "support/blas.h"

#include "quarn/xform/matrix.h"

#include <dlfcn.h>

#include <stdexcept>
#include <string>

namespace qn_test {

BlasAddresses openblas64() {
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

void install_openblas64() {
  const BlasAddresses a = openblas64();
  if (!qn::xform::set_blas(a.gesv, a.gemm, a.gemv, a.dot))
    throw std::runtime_error("set_blas refused OpenBLAS");
}

}  // namespace qn_test
