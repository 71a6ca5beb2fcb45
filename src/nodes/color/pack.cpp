#include "quarn/nodes/color/pack.h"

#include <cstddef>
#include <cstring>

#include "quarn/gpu/program_registry.h"

namespace qn::nodes::color {

// Records go to the GPU layer's batch upload unchanged.
static_assert(sizeof(Packed) == sizeof(gpu::Pending) && alignof(Packed) == alignof(gpu::Pending));
static_assert(offsetof(Packed, index) == offsetof(gpu::Pending, location) &&
              offsetof(Packed, count) == offsetof(gpu::Pending, count) &&
              offsetof(Packed, values) == offsetof(gpu::Pending, values));

namespace {

constexpr int MAX_COMPONENTS = 16;

bool fail(std::string* err, const char* what, const std::string& name, const char* message) {
  if (err) *err = std::string(what) + name + message;
  return false;
}

bool in_range(std::int64_t v, std::int64_t size) { return v >= 0 && v < size; }

}  // namespace

bool Spec::finish(std::string* err) {
  starts.clear();
  knob_floats = 0;
  for (const Knob& k : knobs) {
    if (k.components < 1 || k.components > MAX_COMPONENTS ||
        static_cast<std::size_t>(k.components) != k.defaults.size())
      return fail(err, "knob ", k.name, ": length / default mismatch");
    starts.push_back(knob_floats);
    knob_floats += k.components;
  }
  input_count = 0;
  const auto knob_count = static_cast<std::int64_t>(knobs.size());
  for (const Uniform& u : uniforms) {
    if (u.sources.empty() || u.sources.size() > MAX_COMPONENTS)
      return fail(err, "uniform ", u.name, ": 1..16 components");
    for (const Source& s : u.sources) {
      bool ok = true;
      switch (s.kind) {
        case 0:
          ok = in_range(s.index, knob_count) &&
               in_range(s.component, knobs[static_cast<std::size_t>(s.index)].components);
          break;
        case 1:
          ok = in_range(s.index, MAX_INPUTS);
          if (ok && s.index + 1 > input_count) input_count = s.index + 1;
          break;
        case 3:
          ok = in_range(s.index, knob_count) && in_range(s.component, knob_count);
          break;
        default:
          break;
      }
      if (!ok) return fail(err, "uniform ", u.name, ": source out of range");
    }
  }
  return true;
}

void pack(const Spec& spec, const float* knob_values, const float* inputs, Packed* out) {
  const auto start_count = static_cast<std::int64_t>(spec.starts.size());
  // The position of a knob's value in the flat array, or -1 when it would fall outside.
  const auto position = [&](std::int64_t knob, std::int64_t component) -> std::int64_t {
    if (!in_range(knob, start_count)) return -1;
    const std::int64_t p = spec.starts[static_cast<std::size_t>(knob)] + component;
    return in_range(p, spec.knob_floats) ? p : -1;
  };
  for (std::size_t i = 0; i < spec.uniforms.size(); ++i) {
    const std::vector<Source>& sources = spec.uniforms[i].sources;
    if (sources.empty() || sources.size() > MAX_COMPONENTS) continue;
    float values[MAX_COMPONENTS];
    bool matches = true;
    for (std::size_t j = 0; j < sources.size() && matches; ++j) {
      const Source& s = sources[j];
      float v = 0.0f;
      switch (s.kind) {
        case 0: {
          const std::int64_t p = position(s.index, s.component);
          matches = p >= 0;
          if (matches) v = knob_values[p];
          break;
        }
        case 1:
          matches = in_range(s.index, spec.input_count);
          if (matches) v = inputs[s.index];
          break;
        case 2:
          v = s.constant;
          break;
        case 3: {
          const std::int64_t gate = position(s.index, 0), passed = position(s.component, 0);
          matches = gate >= 0 && passed >= 0;
          if (matches) v = knob_values[gate] != 0.0f ? knob_values[passed] : 0.0f;
          break;
        }
        default:
          break;
      }
      values[j] = v;
    }
    if (!matches) continue;
    out[i].index = static_cast<std::int32_t>(i);
    out[i].count = static_cast<std::int32_t>(sources.size());
    std::memcpy(out[i].values, values, sources.size() * sizeof(float));
  }
}

}  // namespace qn::nodes::color
