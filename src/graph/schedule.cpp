#include "quarn/graph/schedule.h"

namespace qn::graph {
namespace {

bool reads_inputs(std::uint8_t f, bool runs) {
  return (runs && !(f & Schedule::kIgnoresInputs)) || (f & Schedule::kInputsAlways);
}

}  // namespace

void Schedule::build(const std::vector<std::vector<int>>& ups,
                     std::vector<unsigned char> new_flags) {
  up_starts.assign(1, 0);
  up_starts.reserve(ups.size() + 1);
  up_nodes.clear();
  for (const std::vector<int>& list : ups) {
    up_nodes.insert(up_nodes.end(), list.begin(), list.end());
    up_starts.push_back(static_cast<std::int32_t>(up_nodes.size()));
  }
  flags = std::move(new_flags);
  flags.resize(ups.size(), 0);
}

std::vector<int> Schedule::ups(int i) const {
  const std::size_t node = static_cast<std::size_t>(i);
  const std::int32_t begin = up_starts.at(node);
  const std::int32_t end = up_starts.at(node + 1);
  return std::vector<int>(up_nodes.begin() + begin, up_nodes.begin() + end);
}

RunPlan Schedule::run(const std::vector<long>& keys, ResultCache& cache, bool pin) const {
  RunPlan plan;
  const std::size_t n = flags.size();
  if (n == 0) return plan;
  plan.run.assign(n, 0);
  plan.slots.assign(n, -1);
  plan.uses.assign(n, 0);
  std::vector<std::uint8_t> needed(n, 0);
  needed[n - 1] = 1;

  for (std::size_t i = n; i-- > 0;) {
    if (!needed[i]) continue;
    const std::uint8_t f = flags[i];
    if (f & kNeverCached) {
      plan.run[i] = 1;
    } else {
      const long s = cache.get(keys.at(i), pin);
      if (s < 0)
        plan.run[i] = 1;
      else
        plan.slots[i] = s;
    }
    if (reads_inputs(f, plan.run[i]))
      for (std::int32_t k = up_starts[i]; k < up_starts[i + 1]; ++k)
        needed.at(static_cast<std::size_t>(up_nodes[static_cast<std::size_t>(k)])) = 1;
  }

  for (std::size_t i = 0; i < n; ++i) {
    if (!needed[i]) continue;
    plan.order.push_back(static_cast<std::int32_t>(i));
    if (reads_inputs(flags[i], plan.run[i]))
      for (std::int32_t k = up_starts[i]; k < up_starts[i + 1]; ++k)
        ++plan.uses.at(static_cast<std::size_t>(up_nodes[static_cast<std::size_t>(k)]));
  }
  return plan;
}

}  // namespace qn::graph
