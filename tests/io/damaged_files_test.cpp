// Malformed files found by fuzzers, through every reader. Each (file, reader) pair runs in a
// forked child with a time limit, one child per core at a time, so that a file which takes
// OpenImageIO itself down costs one child and hides no other reader; the parent never calls
// OpenImageIO. Some damaged headers make OpenImageIO's EXR reader fill buffers of hundreds of MB
// to several GB before it gives up, so every child runs under a 256 MiB cap on one allocation:
// an address-space limit in a plain build (OpenImageIO's std::bad_alloc is then a read failure
// and every child must exit cleanly), the sanitizer's `max_allocation_size_mb` under
// AddressSanitizer (a child may then end in the sanitizer's report, accepted only for the files
// of `kHugeHeaders` and an allocation made inside OpenImageIO or OpenEXR). A child's time limit
// is four times the slowest pair measured in this build, in units of a reference read timed here
// and now, so a slower or busier machine gets a longer limit.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <map>
#include <new>
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
using Clock = std::chrono::steady_clock;

constexpr long kAddressSpaceCap = 256L << 20;

enum Reader { kPlain, kReadFloat, kLayersBanded, kLayersSerial, kReaders, kCalibration = kReaders };
const char* const kReaderNames[] = {"decode_plain", "oiio_read_float", "load_layers banded",
                                    "load_layers serial", "calibration"};

// Files whose headers make OpenImageIO's EXR reader allocate past the cap, with what it asks for.
const std::map<std::string, std::string> kHugeHeaders = {
    {"clusterfuzz-testcase-minimized-openexr_exrcheck_fuzzer-4755804284649472",
     "read_scanlines new[] of 24 GiB"},
    {"clusterfuzz-testcase-minimized-openexr_scanlines_fuzzer-6481309109846016",
     "read_scanlines new[] of 30 GiB"},
    {"memory_DOS_2.1", "read_scanlines new[] of 160 GiB or more"},
    {"memory_DOS_2.2", "read_scanlines new[] of 160 GiB or more"},
    {"clusterfuzz-testcase-minimized-openexr_exrcheck_fuzzer-5446594692513792",
     "chunk buffers new[] of 1.7 to 2.6 GiB"},
    {"clusterfuzz-testcase-minimized-openexr_exrcheck_fuzzer-6318802980700160",
     "chunk buffers new[] of 1.7 to 2.6 GiB"},
    {"clusterfuzz-testcase-openexr_exrcheck_fuzzer-4598960264183808",
     "chunk buffers new[] of 1.7 GiB and more"},
    {"clusterfuzz-testcase-minimized-openexr_exrcheck_fuzzer-5539187979845632",
     "chunk buffers new[] of 480 MB"},
    {"clusterfuzz-testcase-minimized-openexr_exrcheck_fuzzer-5109751098769408",
     "chunk buffers new[] of 738 MB"},
    {"clusterfuzz-testcase-minimized-openexr_exrcheck_fuzzer-5594942305075200",
     "a chunk buffer new[] of 8 GiB"},
    {"clusterfuzz-testcase-minimized-openexr_exrcheck_fuzzer-5665195584258048",
     "a chunk buffer new[] of 4 GiB"},
    {"clusterfuzz-testcase-minimized-openexr_exrcheck_fuzzer-5714952583249920",
     "a chunk buffer new[] of 256 MiB and 2 KiB"},
    {"clusterfuzz-testcase-minimized-openexr_exrenvmap_fuzzer-6210287474311168",
     "a chunk buffer new[] of 1.2 GiB"},
    {"clusterfuzz-testcase-minimized-openexr_exrenvmap_fuzzer-6265093673975808",
     "a line buffer new[] of 1.3 GiB"},
};

// The slowest pair measured here in this build, in reference reads (under AddressSanitizer
// 14.3 s against 3.24 s, plain 3.34 s against 0.80 s, both beside other builds), rounded up.
constexpr double kSlowestPairInReferenceReads = 5;
constexpr double kHeadroom = 4, kLeastLimitSeconds = 30;

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
    } else if (reader == kReadFloat || reader == kCalibration) {
      for (int i = 0; i < (reader == kCalibration ? 8 : 1); ++i) {
        const auto image = qn::oiio_read_float(path);
        report = image.error.empty() ? "read" : image.error.substr(0, 80);
        if (image.error.empty() || !image.data.empty())
          held = image.data.size() ==
                 size_t(image.width) * size_t(image.height) * size_t(image.channels);
      }
    } else {
      // The plan that fits subimage 0 as far as the header tells (one pixel when nothing opens);
      // the serial read only where the banded one would band.
      qn::io::Read plan{0, 0, 1, 0, 0, 1, 1};
      if (auto in = OIIO::ImageInput::open(path))
        plan = {0,
                0,
                std::clamp(in->spec().nchannels, 1, 4),
                0,
                0,
                in->spec().width,
                in->spec().height};
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

// The plain build's allocation cap (see the top of the file).
void cap_allocations() {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  long pages = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  const rlim_t cap = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) +
                     static_cast<rlim_t>(kAddressSpaceCap);
  const rlimit limit{cap, cap};
  if (pages > 0) setrlimit(RLIMIT_AS, &limit);
#endif
}

struct Child {
  std::string name;  // file name
  int reader = 0;
  pid_t pid = -1;
  int fd = -1;
  Clock::time_point start;
  std::string output;
  std::string fate;  // "" when it exited with 0
  double seconds = 0;
};

Child start_child(const std::filesystem::path& file, int reader) {
  Child c;
  c.name = file.filename().string();
  c.reader = reader;
  int fds[2];
  if (pipe(fds) != 0) {
    c.fate = "no pipe";
    return c;
  }
  c.start = Clock::now();
  c.pid = fork();
  if (c.pid == 0) {
    dup2(fds[1], 2);
    close(fds[0]);
    cap_allocations();
    _exit(read_one(file.string(), reader));  // no atexit handlers, no static destructors
  }
  close(fds[1]);
  c.fd = fds[0];
  return c;
}

void finish_child(Child& c, bool timed_out) {
  close(c.fd);
  if (timed_out) kill(c.pid, SIGKILL);
  int status = 0;
  waitpid(c.pid, &status, 0);
  c.seconds = std::chrono::duration<double>(Clock::now() - c.start).count();
  if (timed_out)
    c.fate = "timed out";
  else if (WIFSIGNALED(status))
    c.fate = "killed by signal " + std::to_string(WTERMSIG(status));
  else if (WEXITSTATUS(status) != 0)
    c.fate = "exited with " + std::to_string(WEXITSTATUS(status));
}

// Runs every job, at most `parallel` children at once, each killed once it has run `limit`
// seconds. Returns the finished children in completion order.
std::vector<Child> run_all(std::deque<std::pair<std::filesystem::path, int>> jobs, int parallel,
                           double limit) {
  std::vector<Child> running, done;
  while (!jobs.empty() || !running.empty()) {
    while (!jobs.empty() && static_cast<int>(running.size()) < parallel) {
      running.push_back(start_child(jobs.front().first, jobs.front().second));
      jobs.pop_front();
      if (running.back().fd < 0) done.push_back(running.back()), running.pop_back();
    }
    if (running.empty()) continue;
    std::vector<pollfd> fds;
    for (const Child& c : running) fds.push_back({c.fd, POLLIN, 0});
    poll(fds.data(), fds.size(), 100);
    for (size_t i = running.size(); i-- > 0;) {
      Child& c = running[i];
      bool closed = false;
      if (fds[i].revents != 0) {
        char buf[4096];
        const ssize_t got = read(c.fd, buf, sizeof buf);
        if (got > 0) c.output.append(buf, static_cast<size_t>(got));
        closed = got <= 0;
      }
      const bool late = std::chrono::duration<double>(Clock::now() - c.start).count() > limit;
      if (closed || late) {
        finish_child(c, !closed);
        done.push_back(std::move(c));
        running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }
  return done;
}

// When the sanitizer refused an allocation and ended the child: the frame that asked for it (the
// one above the sanitizer's allocator), else "".
std::string refused_by(const std::string& output) {
  if (output.find("out of memory") == std::string::npos &&
      output.find("allocation-size-too-big") == std::string::npos)
    return "";
  const auto frame = output.find("    #1 ");
  if (frame == std::string::npos) return "";
  return output.substr(frame, output.find('\n', frame) - frame);
}

// Why a child that died may have, or "" when its ending is a failure: the sanitizer refused an
// allocation made inside OpenImageIO or OpenEXR for a file of `kHugeHeaders`, or oiio_read_float's
// own pixel buffer (the one allocation whose std::bad_alloc it lets through: a plain build throws
// where the sanitizer ends the child).
std::string excused(const Child& c) {
  const std::string frame = c.fate == "timed out" ? "" : refused_by(c.output);
  if (c.reader == kReadFloat && frame.find("libquarn_core") != std::string::npos)
    return "its pixel buffer, past the cap";
  const auto listed = kHugeHeaders.find(c.name);
  const bool inside = frame.find("libOpenEXR") != std::string::npos ||
                      frame.find("libOpenImageIO") != std::string::npos;
  return listed != kHugeHeaders.end() && inside ? listed->second : "";
}

TEST(DamagedFiles, EveryReaderFailsCleanlyOrSucceeds) {
  const auto root = qn_test::openexr_images();
  if (root.empty()) GTEST_SKIP() << "../shared/images/openexr-images is absent";
  std::vector<std::filesystem::path> files;
  for (const auto& e : std::filesystem::directory_iterator(root / "Damaged"))
    if (e.is_regular_file() && e.path().extension() != ".rst") files.push_back(e.path());
  std::sort(files.begin(), files.end());
  ASSERT_GT(files.size(), 100u);

  // The reference read, timed on this machine as it is now.
  const auto calibration = run_all({{root / "ScanLines" / "Desk.exr", kCalibration}}, 1, 600);
  ASSERT_EQ(calibration.at(0).fate, "") << calibration[0].output;
  const double limit = std::max(kLeastLimitSeconds,
                                kHeadroom * kSlowestPairInReferenceReads * calibration[0].seconds);

  std::deque<std::pair<std::filesystem::path, int>> jobs;
  for (const auto& file : files)
    for (int reader = 0; reader < kReaders; ++reader) jobs.emplace_back(file, reader);
  const int parallel = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  auto children = run_all(std::move(jobs), parallel, limit);

  std::sort(children.begin(), children.end(),
            [](const Child& a, const Child& b) { return a.seconds > b.seconds; });
  std::printf("reference read %.2f s, limit %.0f s per child; slowest:\n", calibration[0].seconds,
              limit);
  for (size_t i = 0; i < 3 && i < children.size(); ++i)
    std::printf("  %6.2f s  %s  %s\n", children[i].seconds, kReaderNames[children[i].reader],
                children[i].name.c_str());
  for (const Child& c : children) {
    if (c.fate.empty()) continue;
    if (const std::string why = excused(c); !why.empty()) {
      std::printf("refused: %s, %s (%s)\n", c.name.c_str(), kReaderNames[c.reader], why.c_str());
      continue;
    }
    ADD_FAILURE() << c.name << ", " << kReaderNames[c.reader] << ": " << c.fate << " after "
                  << c.seconds << " s\n"
                  << c.output;
  }
}

}  // namespace
