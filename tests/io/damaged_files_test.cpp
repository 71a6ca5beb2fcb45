// Malformed files found by fuzzers, through every reader, each (file, reader) pair in a forked
// child with a time limit (one child per core at a time), so that a file which takes
// OpenImageIO itself down costs one child and hides no other reader; the parent never calls
// OpenImageIO. Some damaged headers make OpenImageIO's EXR reader fill buffers of hundreds of MB
// to several GB before it gives up, so every child runs under a 256 MiB cap on one allocation:
// an address-space limit in a plain build (OpenImageIO's std::bad_alloc is then a read failure
// and every child must exit cleanly), the sanitizer's `max_allocation_size_mb` under
// AddressSanitizer (a child may then end in the sanitizer's report, accepted only for the files
// of `kHugeHeaders` and an allocation made inside OpenImageIO or OpenEXR).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <new>
#include <set>
#include <thread>

#include "quarn/core/image_read.h"
#include "quarn/io/layer_loader.h"
#include "quarn/io/plain_decode.h"
#include "support/temp_dir.h"

#if defined(__SANITIZE_ADDRESS__)
// Read by the sanitizer's runtime before main; ASAN_OPTIONS from the environment adds to it.
extern "C" const char* __asan_default_options() {
  return "max_allocation_size_mb=256:allocator_may_return_null=1";
}
#endif

namespace {

using qn::io::Slot;

enum Reader { kPlain, kReadFloat, kLayersBanded, kLayersSerial, kReaders };
const char* const kReaderNames[] = {"decode_plain", "oiio_read_float", "load_layers banded",
                                    "load_layers serial"};

// Files whose headers make OpenImageIO's EXR reader allocate past the cap: read_scanlines new[]
// of 24 GiB to 160 GiB and more (the first four), chunk or line buffers new[] of 256 MiB to 8 GiB.
const std::set<std::string> kHugeHeaders = {
    "clusterfuzz-testcase-minimized-openexr_exrcheck_fuzzer-4755804284649472",
    "clusterfuzz-testcase-minimized-openexr_scanlines_fuzzer-6481309109846016",
    "memory_DOS_2.1",
    "memory_DOS_2.2",
    "clusterfuzz-testcase-minimized-openexr_exrcheck_fuzzer-5446594692513792",
    "clusterfuzz-testcase-minimized-openexr_exrcheck_fuzzer-6318802980700160",
    "clusterfuzz-testcase-openexr_exrcheck_fuzzer-4598960264183808",
    "clusterfuzz-testcase-minimized-openexr_exrcheck_fuzzer-5539187979845632",
    "clusterfuzz-testcase-minimized-openexr_exrcheck_fuzzer-5109751098769408",
    "clusterfuzz-testcase-minimized-openexr_exrcheck_fuzzer-5594942305075200",
    "clusterfuzz-testcase-minimized-openexr_exrcheck_fuzzer-5665195584258048",
    "clusterfuzz-testcase-minimized-openexr_exrcheck_fuzzer-5714952583249920",
    "clusterfuzz-testcase-minimized-openexr_exrenvmap_fuzzer-6210287474311168",
    "clusterfuzz-testcase-minimized-openexr_exrenvmap_fuzzer-6265093673975808",
};

// The slowest pair measured 14.3 s under AddressSanitizer on a busy machine (3.3 s plain): a
// child that runs twenty times as long hangs.
constexpr unsigned kLimitSeconds = 300;

// Child body: one reader on one file, its contract checked; the report goes to the parent on
// stderr (a sanitizer's report with it). 0 when the contract held.
int read_one(const std::string& path, int reader) {
  std::string report;
  bool held = true;
  try {
    if (reader == kPlain) {
      qn::io::DecodeResult r;
      qn::io::decode_plain(path, 0, r);
      report = "decode_plain state " + std::to_string(r.state);
      held = r.state >= 2 && r.state <= 4 && !r.pixels == (r.state != 2) &&
             !r.spec == (r.state != 2) && (r.state != 4 || !r.error.empty());
    } else if (reader == kReadFloat) {
      const auto image = qn::oiio_read_float(path);
      report = image.error.empty() ? "read" : image.error.substr(0, 80);
      if (image.error.empty() || !image.data.empty())
        held = image.data.size() ==
               size_t(image.width) * size_t(image.height) * size_t(image.channels);
    } else {
      // The plan that fits subimage 0 as far as the header tells (one pixel when nothing opens);
      // the serial read only where the banded one would band.
      qn::io::Read plan{0, 0, 1, 0, 0, 1, 1};
      if (auto in = OIIO::ImageInput::open(path)) {
        const OIIO::ImageSpec& spec = in->spec();
        plan = {0, 0, std::clamp(spec.nchannels, 1, 4), 0, 0, spec.width, spec.height};
      }
      if (reader == kLayersSerial && plan.height < 128) return 0;
      std::vector<float> frame(16 * 16 * 4);
      std::string err;
      const bool ok = qn::io::load_layers(
          path, {plan}, {{Slot{0, 0, 0.f}, Slot{-1, 0, 0.f}, Slot{-1, 0, 0.f}, Slot{-1, 0, 1.f}}},
          16, 16, reader == kLayersSerial ? 1 : 0, {frame.data()}, err);
      report = ok ? "read" : "failed: " + err.substr(0, 80);
      held = ok || !err.empty();
    }
  } catch (const std::bad_alloc&) {
    report = "its own buffer cannot be allocated";
  } catch (const std::exception& e) {
    report = std::string("let escape: ") + e.what();
    held = false;
  }
  std::fprintf(stderr, "%s%s\n", report.c_str(), held ? "" : " CONTRACT BROKEN");
  return held ? 0 : 1;
}

// The plain build's allocation cap: the address space in use plus 256 MiB.
void cap_allocations() {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  long pages = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  const rlim_t cap = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t{256} << 20);
  const rlimit limit{cap, cap};
  if (pages > 0) setrlimit(RLIMIT_AS, &limit);
#endif
}

// Why a child that the sanitizer ended may have been, or "" when its ending is a failure: the
// sanitizer refused an allocation (the frame above its allocator asked for it) made inside
// OpenImageIO or OpenEXR for a file of `kHugeHeaders`, or oiio_read_float's own pixel buffer
// (the one allocation whose std::bad_alloc it lets through: a plain build throws there).
std::string excused(const std::string& name, int reader, const std::string& output) {
  const auto at = output.find("    #1 ");
  if (at == std::string::npos || (output.find("out of memory") == std::string::npos &&
                                  output.find("allocation-size-too-big") == std::string::npos))
    return "";
  const std::string frame = output.substr(at, output.find('\n', at) - at);
  if (reader == kReadFloat && frame.find("libquarn_core") != std::string::npos)
    return "its pixel buffer, past the cap";
  const bool inside = frame.find("libOpenEXR") != std::string::npos ||
                      frame.find("libOpenImageIO") != std::string::npos;
  return kHugeHeaders.count(name) && inside ? "a huge header" : "";
}

TEST(DamagedFiles, EveryReaderFailsCleanlyOrSucceeds) {
  const auto root = qn_test::openexr_images();
  if (root.empty()) GTEST_SKIP() << "../shared/images/openexr-images is absent";
  std::vector<std::filesystem::path> files;
  for (const auto& e : std::filesystem::directory_iterator(root / "Damaged"))
    if (e.is_regular_file() && e.path().extension() != ".rst") files.push_back(e.path());
  std::sort(files.begin(), files.end());
  ASSERT_GT(files.size(), 100u);
  qn_test::TempDir logs;  // child i writes its stderr to logs/i
  const std::size_t jobs = files.size() * kReaders;
  const std::size_t parallel = std::max(1u, std::thread::hardware_concurrency());
  for (std::size_t first = 0; first < jobs; first += parallel) {
    std::vector<pid_t> pids;
    for (std::size_t i = first; i < std::min(first + parallel, jobs); ++i)
      if (pids.emplace_back(fork()) == 0) {
        dup2(open(logs.file(std::to_string(i)).c_str(), O_WRONLY | O_CREAT, 0600), 2);
        alarm(kLimitSeconds);  // its signal ends the child
        cap_allocations();
        _exit(read_one(files[i / kReaders].string(), int(i % kReaders)));  // no atexit handlers
      }
    for (std::size_t i = first; i < first + pids.size(); ++i) {
      int status = 0;
      if (pids[i - first] < 0 || waitpid(pids[i - first], &status, 0) < 0) {
        ADD_FAILURE() << "child " << i << " was not started or cannot be waited for";
        continue;
      }
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) continue;
      const std::string name = files[i / kReaders].filename().string();
      const char* reader = kReaderNames[i % kReaders];
      std::ifstream in(logs.file(std::to_string(i)));
      const std::string output{std::istreambuf_iterator<char>(in), {}};
      const int signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
      const std::string why = signal == SIGALRM ? "" : excused(name, int(i % kReaders), output);
      if (!why.empty()) {
        std::printf("refused: %s, %s (%s)\n", name.c_str(), reader, why.c_str());
        continue;
      }
      ADD_FAILURE() << name << ", " << reader << ": "
                    << (signal == SIGALRM ? "timed out"
                        : signal          ? "killed by signal " + std::to_string(signal)
                                          : "exited with " + std::to_string(WEXITSTATUS(status)))
                    << "\n"
                    << output;
    }
  }
}

}  // namespace
