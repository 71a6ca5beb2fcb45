// quarn/gpu/program_registry.h — what the host's GL programs contain, and the last value sent
// to each of their uniforms, so that no unchanged value is uploaded twice.
//
// The host compiles and links its programs itself and declares their float uniforms here with
// `program_add`. Uploads go through the direct-state-access calls (`ProgramUniform*fv`), so no
// program has to be bound. The registry remembers, per program:
//   - the last value uploaded to every location (a slot of up to sixteen floats), and
//   - the last whole batch (`uniform_set_many`'s list or `uniform_set_block`'s key), valid only
//     while the program's generation (raised by every upload and every forget) stays put.
// Repeating an unchanged batch therefore costs one comparison and no GL call. Every upload
// made raises `stats().uniform_uploads`, every upload avoided `stats().uniform_skips`.
//
// Owns: the process-wide program table (destroyed at process exit). Never owns GL objects.
//
// Threads: none of this is locked. The table and the counters belong to the host's GL thread;
// the uploading calls must run there with the loaded context current, and do not check it.
//
// Failures: nothing is reported and GL errors are never queried. Lookups that miss give null or
// false. Calls that cannot be carried out soundly do nothing at all (no GL call, nothing stored,
// nothing counted): an uploading call while the layer is not loaded (`gl::loaded()` false, so
// entry points may be null), a value count outside 0..16, a negative list length, a null value
// pointer or list with a positive length. A count inside 0..16 that is none of 1, 2, 3, 4, 9
// or 16 makes no GL call but is stored and counted like an upload.
//
// Locations from 0 to `MAX_CACHED_LOCATION` are cached (a slot costs 68 bytes, so a program's
// cache never exceeds about 4.5 MB). Larger ones are uploaded every time and never cached, so
// that a wild location cannot make the cache overflow or exhaust memory.
#pragma once

#include <cstdint>
#include <string_view>

#include "quarn/export.h"

namespace qn::gpu {

/// `UniformInfo::kind` values. Scalars and vectors are treated alike; kinds 2 to 4, 7 and any
/// other value denote uniforms the layer never sets.
inline constexpr int UNIFORM_FLOAT = 0;   // float scalar
inline constexpr int UNIFORM_VECTOR = 1;  // float vector
inline constexpr int UNIFORM_MAT3 = 5;    // 3x3 float matrix
inline constexpr int UNIFORM_MAT4 = 6;    // 4x4 float matrix
inline constexpr int UNIFORM_OTHER = 7;   // the default: never set

/// A float uniform as the host declared it.
struct UniformInfo {
  std::int32_t location = -1;         // GL uniform location in its program
  std::int32_t kind = UNIFORM_OTHER;  // one of the UNIFORM_* values above
  std::int32_t components = 1;        // for scalars and vectors: 1 to 4 floats
};

/// One uniform value waiting to be uploaded. Fill `values` beyond `count` with zeros: batches
/// are compared as whole records, all sixteen values included.
struct Pending {
  std::int32_t location;  // negative: the uniform is not active
  std::int32_t count;     // 1..4 (scalar, vector), 9 (mat3) or 16 (mat4)
  float values[16];       // column-major for matrices; the first `count` are uploaded
};

/// The largest location whose value is cached.
inline constexpr int MAX_CACHED_LOCATION = 65535;

/// Stores `info` under `name` for `program`, replacing an earlier entry of that name in place.
/// Creates the program's record; leaves its cached values and batch memo alone.
QN_API void program_add(std::uint32_t program, std::string_view name, UniformInfo info);

/// Whether the table holds a record for `program`.
QN_API bool program_known(std::uint32_t program);

/// Removes the program's record with everything in it (nothing if there is none).
QN_API void program_forget(std::uint32_t program);

/// The stored declaration, or null. Valid until the program is forgotten.
QN_API const UniformInfo* uniform_info(std::uint32_t program, std::string_view name);

/// Whether a value of `n` floats may be set on the uniform: scalars and vectors take exactly
/// `components` floats (1 to 4), mat3 takes 9, mat4 takes 16, any other kind nothing.
QN_API bool uniform_accepts(const UniformInfo& info, int n);

/// Uploads one value of `n` floats unless the location's slot already holds exactly those bits
/// (0.0 and -0.0 differ; a NaN equals the same NaN). A negative location is passed to GL as is
/// and creates no record; any other creates the program's record.
QN_API void uniform_set(std::uint32_t program, int location, const float* values, int n);

/// Uploads a list in order, each record on its own slot's evidence, unless it equals the
/// program's last batch record for record with no upload to the program since (then every record
/// counts as a skip). Creates the program's record. Allocates only when the list is longer than
/// any batch before it.
QN_API void uniform_set_many(std::uint32_t program, const Pending* list, int n);

/// Like `uniform_set_many`, but the shortcut is taken on a repeated non-zero `key` alone: the
/// caller guarantees that equal keys mean equal lists for the same program. Key 0 never takes
/// it. The two batch calls share one memo: each defeats the other's next shortcut.
QN_API void uniform_set_block(std::uint32_t program, std::uint64_t key, const Pending* list, int n);

/// Forgets the cached value of `location`, or of every location when it is negative, so the
/// next upload reaches GL; also defeats the batch shortcut. Nothing if the program is unknown.
QN_API void uniform_forget(std::uint32_t program, int location);

}  // namespace qn::gpu
