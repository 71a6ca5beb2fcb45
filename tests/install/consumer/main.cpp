// The smallest host: includes the umbrella header and calls into the installed library.
#include <quarn/quarn.h>

#include <cstdio>

int main() {
  std::printf("quarn_core %s\n", qn::core_version());
  return 0;
}
