// io/oiio_guard.h — OpenImageIO calls that may throw, turned into failures with a text.
//
// Malformed files can make OpenImageIO (or a format library under it) throw — std::bad_alloc for
// an absurd declared size is the usual one. Such an exception must not leave the library: the
// readers report it like any other failed read, with a text that names it.
#pragma once

#include <OpenImageIO/imageio.h>

#include <exception>
#include <memory>
#include <string>

namespace qn::io::detail {

/// Runs `call`; true when it returned normally. When it throws, `error` names the exception and
/// the result is false.
template <typename F>
bool guard_oiio(std::string& error, F&& call) {
  try {
    call();
    return true;
  } catch (const std::exception& e) {
    error = std::string("OpenImageIO raised an exception: ") + e.what();
  } catch (...) {
    error = "OpenImageIO raised an exception of unknown type";
  }
  return false;
}

/// Owns an open input and closes it before release, swallowing what the close may throw (the
/// input's destructor would otherwise run the same close where no exception may escape).
class GuardedInput {
 public:
  GuardedInput() = default;
  GuardedInput(const GuardedInput&) = delete;
  GuardedInput& operator=(const GuardedInput&) = delete;
  ~GuardedInput() { reset(); }

  std::unique_ptr<OIIO::ImageInput>& ptr() { return in_; }
  OIIO::ImageInput* operator->() const { return in_.get(); }
  OIIO::ImageInput& operator*() const { return *in_; }
  explicit operator bool() const { return in_ != nullptr; }

  void reset() {
    if (!in_) return;
    std::string ignored;
    guard_oiio(ignored, [&] { in_->close(); });
    in_.reset();
  }

 private:
  std::unique_ptr<OIIO::ImageInput> in_;
};

/// Opens `path` into `in` with the open-time attribute "oiio:threads" = `threads`. False when
/// the open threw (`error` names the exception) or failed (`error` = OpenImageIO's global error
/// text, cleared; it may be empty).
inline bool open_input(GuardedInput& in, const std::string& path, int threads, std::string& error) {
  if (!guard_oiio(error, [&] {
        OIIO::ImageSpec config;
        config.attribute("oiio:threads", threads);
        in.ptr() = OIIO::ImageInput::open(path, &config);
      }))
    return false;
  if (in) return true;
  error = OIIO::geterror(true);
  return false;
}

}  // namespace qn::io::detail
