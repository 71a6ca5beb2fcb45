// quarn/io/layer_loader.h — one image file into RGBA float frames, by a read plan.
//
// The caller describes the work as a plan: `Read`s name a subimage and a channel range of the
// file and where that layer lands in the output frames; one row of four `Slot`s per output frame
// says where each of its channels R, G, B, A comes from (a channel of one read, or a constant).
// `load_layers` validates the plan, opens the file once, reads every read into a float staging
// buffer — tall scanline images are split into horizontal bands read in parallel, each band
// through its own input — and packs the staging buffers into the caller's frames.
//
// Owns: nothing beyond the call. Staging buffers and inputs live only inside it; the frames,
// the error string and the timing record belong to the caller.
//
// Threads: stateless; any thread may call it, also concurrently for different files or frames.
// Bands and packing run on OpenImageIO's shared worker pool; the call blocks until they end. It
// takes no lock of its own beyond one mutex per banded read for the error text.
//
// `threads` is the call's thread budget. It sets the open-time attribute "oiio:threads" of the
// main input (band inputs get 1), caps the number of bands and the packing tasks when above 1,
// and with 1 keeps banding and packing on the calling thread. It never changes OpenImageIO's
// process-wide attributes: in particular OpenEXR decodes with its own pool, sized by the global
// attribute "exr_threads", whatever `threads` says; a host that wants a truly serial read also
// sets that global itself.
//
// Failures: false with a message in `err` ("bad plan", "bad slot", "plan does not match the
// file", or OpenImageIO's error text), and then no output frame has been touched. `err` is left
// alone on success. An exception thrown inside an OpenImageIO call becomes a failure whose text
// names it. A staging buffer that cannot be allocated throws the standard allocation exception
// (std::bad_alloc or std::bad_array_new_length) to the caller, with everything held freed.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "quarn/export.h"

namespace qn::io {

/// One entry of a plan: a channel range of one subimage (MIP level 0) and where its pixel
/// (0, 0) lands in the output frames. `width` and `height` are the data-window size the subimage
/// must have; `x` and `y` may lie anywhere, also off the frame. The read holds
/// nch = `chend` − `chbegin` channels.
struct Read {
  std::int32_t subimage;
  std::int32_t chbegin;  // inclusive
  std::int32_t chend;    // exclusive
  std::int32_t x;
  std::int32_t y;
  std::int32_t width;
  std::int32_t height;
};

/// One channel of one output frame: channel `channel` (0 = the read's `chbegin`) of read
/// `read`, or, when `read` is negative, the constant `value`.
struct Slot {
  std::int32_t read;
  std::int32_t channel;
  float value;
};

/// Timings of one call in milliseconds on the steady clock: `open_ms` the open, `read_ms` every
/// read up to the close of the file, `pack_ms` the packing.
struct Stats {
  double open_ms;
  double read_ms;
  double pack_ms;
};

/// Fills every frame of `dst` (one per row of `slots`, each `width` × `height` × 4 floats, RGBA
/// interleaved, rows top to bottom) from the file at `path`. A channel taken from a read gets 0
/// where the read does not cover the pixel. `stats`, when given, gets `open_ms` once the file is
/// open, `read_ms` once the reads are over (also when one failed), `pack_ms` after packing.
/// Failures detected before the open ("bad plan", "bad slot") and a failed open write no timing.
/// Blocks until done.
[[nodiscard]] QN_API bool load_layers(const std::string& path, const std::vector<Read>& reads,
                                      const std::vector<std::array<Slot, 4>>& slots, int width,
                                      int height, int threads, const std::vector<float*>& dst,
                                      std::string& err, Stats* stats = nullptr);

/// Test hook: when set, every band task calls it first, before it opens its own input, with the
/// path, the band's index and its first and end row within the read. Null by default. Set it
/// only while no `load_layers` call runs; it is then called from worker threads.
using BandObserver = void (*)(const std::string& path, int band, std::int64_t row_begin,
                              std::int64_t row_end);
QN_API void set_band_observer(BandObserver observer);

}  // namespace qn::io
