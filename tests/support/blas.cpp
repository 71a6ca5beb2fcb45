#include "support/blas.h"

#include "quarn/xform/matrix.h"

#include <dlfcn.h>

#include <stdexcept>

namespace qn_test {
namespace {

struct Loaded {
  BlasAddresses addresses;
  std::string error;
};

Loaded load() {
  Loaded r;
  void* lib = dlopen("libopenblas64.so.0", RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    r.error = dlerror();
    return r;
  }
  const auto find = [&](const char* name) {
    void* p = dlsym(lib, name);
    if (!p && r.error.empty()) r.error = std::string("libopenblas64.so.0 lacks ") + name;
    return reinterpret_cast<unsigned long>(p);
  };
  BlasAddresses a{find("dgesv_"), find("cblas_dgemm"), find("cblas_dgemv"), find("cblas_ddot")};
  if (r.error.empty()) r.addresses = a;
  return r;
}

}  // namespace

BlasAddresses openblas64(std::string* error) {
  static const Loaded loaded = load();
  if (error && !loaded.error.empty()) *error = loaded.error;
  return loaded.addresses;
}

void install_openblas64() {
  std::string error;
  const BlasAddresses a = openblas64(&error);
  if (!qn::xform::set_blas(a.gesv, a.gemm, a.gemv, a.dot))
    throw std::runtime_error("cannot load the host's BLAS: " + error);
}

}  // namespace qn_test
