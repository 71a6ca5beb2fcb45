#include "quarn/gpu/program_registry.h"

#include <GL/glcorearb.h>

#include <cstring>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "gpu/uniform_upload.h"
#include "quarn/gpu/counters.h"
#include "quarn/gpu/gl.h"

namespace qn::gpu {
namespace {

// Batches are compared with one memcmp over the records, so a record must have no padding.
static_assert(sizeof(Pending) == 2 * sizeof(std::int32_t) + 16 * sizeof(float));
static_assert(std::is_trivially_copyable_v<Pending>);

constexpr int MAX_FLOATS = 16;

struct ValueSlot {
  std::int32_t count = 0;  // 0: nothing known
  float values[MAX_FLOATS] = {};
};

struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

struct ProgramRecord {
  std::unordered_map<std::string, UniformInfo, NameHash, std::equal_to<>> uniforms;
  std::vector<ValueSlot> cache;        // indexed by location, 0..MAX_CACHED_LOCATION
  std::uint64_t generation = 1;        // +1 per upload made and per forget
  std::uint64_t batch_generation = 0;  // `generation` at the end of the last batch call
  std::vector<Pending> batch_list;     // the last `uniform_set_many` list
  std::uint64_t batch_key = 0;         // the last `uniform_set_block` key, 0 otherwise
};

// Node-based map: records (and the UniformInfo inside them) keep their address until erased.
std::unordered_map<std::uint32_t, ProgramRecord> g_programs;

ProgramRecord* find_record(std::uint32_t program) {
  auto it = g_programs.find(program);
  return it == g_programs.end() ? nullptr : &it->second;
}

bool count_in_slot_range(int n) { return n >= 0 && n <= MAX_FLOATS; }

// The slot caching `location`, grown on demand; null for locations that are not cached.
ValueSlot* slot_for(ProgramRecord& record, int location) {
  if (location < 0 || location > MAX_CACHED_LOCATION) return nullptr;
  auto index = static_cast<std::size_t>(location);
  if (record.cache.size() <= index) record.cache.resize(index + 1);
  return &record.cache[index];
}

bool holds(const ValueSlot& slot, const float* values, int n) {
  return slot.count == n && (n == 0 || std::memcmp(slot.values, values,
                                                   sizeof(float) * static_cast<unsigned>(n)) == 0);
}

void issue(std::uint32_t program, int location, const float* values, int n) {
  switch (n) {
    case 1:
      gl::ProgramUniform1fv(program, location, 1, values);
      break;
    case 2:
      gl::ProgramUniform2fv(program, location, 1, values);
      break;
    case 3:
      gl::ProgramUniform3fv(program, location, 1, values);
      break;
    case 4:
      gl::ProgramUniform4fv(program, location, 1, values);
      break;
    case 9:
      gl::ProgramUniformMatrix3fv(program, location, 1, GL_FALSE, values);
      break;
    case 16:
      gl::ProgramUniformMatrix4fv(program, location, 1, GL_FALSE, values);
      break;
    default:
      break;
  }
}

// One value, 0 <= n <= 16. `record` is the program's record, or null when it has none (only
// possible for a negative location).
void upload(ProgramRecord* record, std::uint32_t program, int location, const float* values,
            int n) {
  ValueSlot* slot = record ? slot_for(*record, location) : nullptr;
  if (slot && holds(*slot, values, n)) {
    ++stats().uniform_skips;
    return;
  }
  issue(program, location, values, n);
  ++stats().uniform_uploads;
  if (record) ++record->generation;
  if (slot) {
    slot->count = n;
    if (n > 0) std::memcpy(slot->values, values, sizeof(float) * static_cast<unsigned>(n));
  }
}

// Applies the records in order, each on its own slot's evidence. `record` may be null: the
// program's record is then created by the first record with a non-negative location.
void apply_list(ProgramRecord* record, std::uint32_t program, const Pending* list, int n) {
  for (int i = 0; i < n; ++i) {
    const Pending& p = list[i];
    if (!count_in_slot_range(p.count)) continue;
    if (!record && p.location >= 0) record = &g_programs[program];
    upload(record, program, p.location, p.values, p.count);
  }
}

// Whether a batch call may run at all: a non-negative length, a list when it is positive, and
// loaded entry points.
bool batch_usable(const Pending* list, int n) {
  return n >= 0 && (n == 0 || list != nullptr) && gl::loaded();
}

}  // namespace

void detail::apply_pending(std::uint32_t program, const Pending* list, int n) {
  apply_list(find_record(program), program, list, n);
}

void program_add(std::uint32_t program, std::string_view name, UniformInfo info) {
  auto& uniforms = g_programs[program].uniforms;
  auto it = uniforms.find(name);
  if (it != uniforms.end())
    it->second = info;
  else
    uniforms.emplace(std::string(name), info);
}

bool program_known(std::uint32_t program) { return g_programs.contains(program); }

void program_forget(std::uint32_t program) { g_programs.erase(program); }

const UniformInfo* uniform_info(std::uint32_t program, std::string_view name) {
  const ProgramRecord* record = find_record(program);
  if (!record) return nullptr;
  auto it = record->uniforms.find(name);
  return it == record->uniforms.end() ? nullptr : &it->second;
}

bool uniform_accepts(const UniformInfo& info, int n) {
  switch (info.kind) {
    case UNIFORM_FLOAT:
    case UNIFORM_VECTOR:
      return n >= 1 && n <= 4 && n == info.components;
    case UNIFORM_MAT3:
      return n == 9;
    case UNIFORM_MAT4:
      return n == 16;
    default:
      return false;
  }
}

void uniform_set(std::uint32_t program, int location, const float* values, int n) {
  if (!count_in_slot_range(n) || (n > 0 && !values) || !gl::loaded()) return;
  ProgramRecord* record = location >= 0 ? &g_programs[program] : find_record(program);
  upload(record, program, location, values, n);
}

void uniform_set_many(std::uint32_t program, const Pending* list, int n) {
  if (!batch_usable(list, n)) return;
  ProgramRecord& record = g_programs[program];
  auto size = static_cast<std::size_t>(n);
  if (record.generation == record.batch_generation && record.batch_list.size() == size &&
      (n == 0 || std::memcmp(record.batch_list.data(), list, sizeof(Pending) * size) == 0)) {
    stats().uniform_skips += size;
    return;
  }
  apply_list(&record, program, list, n);
  record.batch_list.assign(list, list + n);
  record.batch_key = 0;
  record.batch_generation = record.generation;
}

void uniform_set_block(std::uint32_t program, std::uint64_t key, const Pending* list, int n) {
  if (!batch_usable(list, n)) return;
  ProgramRecord& record = g_programs[program];
  if (key != 0 && key == record.batch_key && record.generation == record.batch_generation) {
    stats().uniform_skips += static_cast<std::uint64_t>(n);
    return;
  }
  apply_list(&record, program, list, n);
  record.batch_list.clear();
  record.batch_key = key;
  record.batch_generation = record.generation;
}

void uniform_forget(std::uint32_t program, int location) {
  ProgramRecord* record = find_record(program);
  if (!record) return;
  ++record->generation;
  if (location < 0) {
    for (ValueSlot& slot : record->cache) slot.count = 0;
  } else if (static_cast<std::size_t>(location) < record->cache.size()) {
    record->cache[static_cast<std::size_t>(location)].count = 0;
  }
}

}  // namespace qn::gpu
