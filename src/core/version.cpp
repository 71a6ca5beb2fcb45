#include "quarn/core/version.h"

namespace qn {

const char* core_version() { return "0.1.0"; }

}  // namespace qn
