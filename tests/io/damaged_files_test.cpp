// Malformed files found by fuzzers, each (file, reader) pair in a forked child with a time limit
// and a 256 MiB allocation cap (under AddressSanitizer `max_allocation_size_mb`, its refusals
// excused only inside OpenImageIO or OpenEXR). The parent never calls OpenImageIO.
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
#include <thread>

#include "quarn/core/image_read.h"
#include "quarn/io/layer_loader.h"
#include "quarn/io/plain_decode.h"
#include "support/temp_dir.h"

#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() {
  return "max_allocation_size_mb=256:allocator_may_return_null=1";
}
#endif

namespace {

using qn::io::Slot;

enum Reader { kPlain, kReadFloat, kLayersBanded, kLayersSerial, kReaders };
const char* const kReaderNames[] = {"decode_plain", "oiio_read_float", "load_layers banded",
                                    "load_layers serial"};

// Twenty times the slowest pair measured under AddressSanitizer (14.3 s): a child this slow hangs.
constexpr unsigned kLimitSeconds = 300;

// Child body: one reader on one file; what broke its contract, or "" when it held.
std::string read_one(const std::string& path, int reader) try {
  if (reader == kPlain) {
    qn::io::DecodeResult r;
    qn::io::decode_plain(path, 0, r);
    const bool held = r.state >= 2 && r.state <= 4 && !r.pixels == (r.state != 2) &&
                      !r.spec == (r.state != 2) && (r.state != 4 || !r.error.empty());
    return held ? "" : "decode_plain state " + std::to_string(r.state);
  }
  if (reader == kReadFloat) {
    const auto image = qn::oiio_read_float(path);
    const bool held = (!image.error.empty() && image.data.empty()) ||
                      image.data.size() == size_t(image.width) * image.height * image.channels;
    return held ? "" : "oiio_read_float: " + std::to_string(image.data.size()) + " floats";
  }
  // Subimage 0 as its header says (a pixel if it does not open); serial only where it would band.
  qn::io::Read plan{0, 0, 1, 0, 0, 1, 1};
  if (auto in = OIIO::ImageInput::open(path)) {
    const OIIO::ImageSpec& spec = in->spec();
    plan = {0, 0, std::clamp(spec.nchannels, 1, 4), 0, 0, spec.width, spec.height};
  }
  if (reader == kLayersSerial && plan.height < 128) return "";
  std::vector<float> frame(16 * 16 * 4);
  std::string err;
  const bool ok = qn::io::load_layers(
      path, {plan}, {{Slot{0, 0, 0.f}, Slot{-1, 0, 0.f}, Slot{-1, 0, 0.f}, Slot{-1, 0, 1.f}}}, 16,
      16, reader == kLayersSerial ? 1 : 0, {frame.data()}, err);
  return ok || !err.empty() ? "" : "load_layers failed without saying why";
} catch (const std::bad_alloc&) {
  return "";  // its own buffer cannot be allocated
} catch (const std::exception& e) {
  return std::string("let escape: ") + e.what();
}

// The plain build's allocation cap: the address space in use plus 256 MiB.
void cap_allocations() {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  long pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  const rlim_t cap = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t{256} << 20);
  const rlimit limit{cap, cap};
  if (pages > 0) setrlimit(RLIMIT_AS, &limit);
#endif
}

// Whether the sanitizer refused an allocation (the frame above its allocator asked) inside
// OpenImageIO or OpenEXR, or oiio_read_float's pixel buffer (whose std::bad_alloc it lets through).
bool excused(int reader, const std::string& output) {
  const auto at = output.find("    #1 ");
  if (at == std::string::npos || (output.find("out of memory") == std::string::npos &&
                                  output.find("allocation-size-too-big") == std::string::npos))
    return false;
  const std::string frame = output.substr(at, output.find('\n', at) - at);
  return frame.find("libOpenEXR") != std::string::npos ||
         frame.find("libOpenImageIO") != std::string::npos ||
         (reader == kReadFloat && frame.find("libquarn_core") != std::string::npos);
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
        const std::string broken = read_one(files[i / kReaders].string(), int(i % kReaders));
        std::fputs(broken.c_str(), stderr);
        _exit(broken.empty() ? 0 : 1);  // no atexit handlers
      }
    for (std::size_t i = first; i < first + pids.size(); ++i) {
      int status = 0;
      if (pids[i - first] < 0 || waitpid(pids[i - first], &status, 0) < 0) {
        ADD_FAILURE() << "child " << i << " was not started or cannot be waited for";
        continue;
      }
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) continue;
      std::ifstream in(logs.file(std::to_string(i)));
      const std::string output{std::istreambuf_iterator<char>(in), {}};
      const bool timed_out = WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM;
      if (!timed_out && excused(int(i % kReaders), output)) continue;  // refused past the cap
      ADD_FAILURE() << files[i / kReaders].filename() << ", " << kReaderNames[i % kReaders] << ": "
                    << (timed_out ? "timed out" : "wait status " + std::to_string(status)) << "\n"
                    << output;
    }
  }
}

}  // namespace
