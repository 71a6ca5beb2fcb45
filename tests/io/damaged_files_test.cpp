// Malformed files found by fuzzers, through every reader. Each file runs in a forked child with
// a time limit, so that a file which takes OpenImageIO itself down costs one child, not the
// suite. The parent never calls OpenImageIO: every child starts from a fresh library.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <new>

#include "quarn/core/image_read.h"
#include "quarn/io/layer_loader.h"
#include "quarn/io/plain_decode.h"
#include "support/temp_dir.h"

namespace {

using qn::io::Slot;

// Files that end the child inside OpenImageIO itself, whatever our code does, with the reason.
// On this machine's OpenImageIO 2.4.7 a plain build survives every file: the std::bad_alloc
// OpenImageIO throws on these four (read_scanlines allocating 24 GiB to 192 GiB of its own) is
// caught and reported as a failure. Under AddressSanitizer the sanitizer's allocator answers
// OpenImageIO's throwing operator new[] with an out-of-memory report and exits instead.
const std::map<std::string, std::string> kFatalInsideLibrary = {
#if defined(__SANITIZE_ADDRESS__)
    {"clusterfuzz-testcase-minimized-openexr_exrcheck_fuzzer-4755804284649472",
     "ASan: read_scanlines new[] of 24 GiB"},
    {"clusterfuzz-testcase-minimized-openexr_scanlines_fuzzer-6481309109846016",
     "ASan: read_scanlines new[] of 30 GiB"},
    {"memory_DOS_2.1", "ASan: read_scanlines new[] of 160 GiB or more"},
    {"memory_DOS_2.2", "ASan: read_scanlines new[] of 160 GiB or more"},
#endif
};

constexpr double kSecondsPerFile = 120;  // the slowest file needs about 10 s under ASan

// Child body: every reader, each contract checked; the report goes to the parent on stderr
// (a sanitizer's report with it). 0 when all held.
int read_all(const std::string& path) {
  std::string report;
  bool held = true;
  auto guarded = [&](const char* what, auto&& read) {
    try {
      read();
    } catch (const std::bad_alloc&) {
      report += std::string(what) + ": its own buffer cannot be allocated; ";
    } catch (const std::exception& e) {
      report += std::string(what) + " let escape: " + e.what() + "; ";
      held = false;
    }
  };
  guarded("decode_plain", [&] {
    qn::io::DecodeResult r;
    qn::io::decode_plain(path, 0, r);
    report += "decode_plain state " + std::to_string(r.state) + "; ";
    held = held && r.state >= 2 && r.state <= 4 && !r.pixels == (r.state != 2) &&
           !r.spec == (r.state != 2) && (r.state != 4 || !r.error.empty());
  });
  guarded("oiio_read_float", [&] {
    const auto image = qn::oiio_read_float(path);
    report += "oiio_read_float " + (image.error.empty() ? "ok" : image.error.substr(0, 80)) + "; ";
    if (image.error.empty() || !image.data.empty())
      held = held && image.data.size() ==
                         size_t(image.width) * size_t(image.height) * size_t(image.channels);
  });
  // The plan that fits subimage 0 as far as the header tells (one pixel when nothing opens),
  // banded, and for files tall enough to band also serially.
  qn::io::Read plan{0, 0, 1, 0, 0, 1, 1};
  if (auto in = OIIO::ImageInput::open(path))
    plan = {
        0, 0, std::clamp(in->spec().nchannels, 1, 4), 0, 0, in->spec().width, in->spec().height};
  std::vector<float> frame(16 * 16 * 4);
  for (int threads : {0, 1}) {
    if (threads == 1 && plan.height < 128) break;
    guarded("load_layers", [&] {
      std::string err;
      const bool ok = qn::io::load_layers(
          path, {plan}, {{Slot{0, 0, 0.f}, Slot{-1, 0, 0.f}, Slot{-1, 0, 0.f}, Slot{-1, 0, 1.f}}},
          16, 16, threads, {frame.data()}, err);
      report += ok ? "load_layers read; " : "load_layers failed: " + err.substr(0, 80) + "; ";
      held = held && (ok || !err.empty());
    });
  }
  if (!held) report += "CONTRACT BROKEN";
  std::fprintf(stderr, "%s\n", report.c_str());
  return held ? 0 : 1;
}

// Runs read_all(path) in a child; "" when it exited with 0, else its fate and its stderr.
std::string run_forked(const std::string& path) {
  int fds[2];
  if (pipe(fds) != 0) return "no pipe";
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 2);
    close(fds[0]);
    _exit(read_all(path));  // no atexit handlers, no static destructors of the parent's state
  }
  close(fds[1]);
  std::string output;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(kSecondsPerFile);
  char buf[4096];
  for (ssize_t got = 1; got > 0;) {  // until the child closes its end, or the deadline
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fds[0], POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      kill(pid, SIGKILL);
      output = "timed out\n" + output;
      break;
    }
    got = read(fds[0], buf, sizeof buf);
    if (got > 0) output.append(buf, static_cast<size_t>(got));
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";
  return (WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                              : "exited with " + std::to_string(WEXITSTATUS(status))) +
         "\n" + output;
}

TEST(DamagedFiles, EveryReaderFailsCleanlyOrSucceeds) {
  const auto root = qn_test::openexr_images();
  if (root.empty()) GTEST_SKIP() << "../shared/images/openexr-images is absent";
  std::vector<std::filesystem::path> files;
  for (const auto& e : std::filesystem::directory_iterator(root / "Damaged"))
    if (e.is_regular_file() && e.path().extension() != ".rst") files.push_back(e.path());
  std::sort(files.begin(), files.end());
  ASSERT_GT(files.size(), 100u);
  for (const auto& file : files) {
    const std::string name = file.filename().string(), failure = run_forked(file.string());
    if (failure.empty()) continue;
    if (auto listed = kFatalInsideLibrary.find(name); listed != kFatalInsideLibrary.end()) {
      std::printf("known failure inside OpenImageIO: %s (%s)\n", name.c_str(),
                  listed->second.c_str());
      continue;
    }
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // Our own buffers throw std::bad_alloc in a plain build; the sanitizer aborts instead.
    if (failure.find("out of memory") != std::string::npos ||
        failure.find("allocation-size-too-big") != std::string::npos ||
        failure.find("requested allocation size") != std::string::npos) {
      std::printf("allocation refused by the sanitizer: %s\n", name.c_str());
      continue;
    }
#endif
    ADD_FAILURE() << name << ": " << failure;
  }
}

}  // namespace
