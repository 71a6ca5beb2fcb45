// tests/support/forked.h — run a piece of a test in a child process with a time limit.
//
// For inputs that may take a third-party library down (a malformed file that makes it abort,
// spin or exhaust memory): the child's fate is reported instead of the suite's.
#pragma once

#include <functional>
#include <string>

namespace qn_test {

struct ForkOutcome {
  enum Kind { Exited, Signalled, TimedOut } kind = Exited;
  int code = 0;        // exit status (Exited) or signal number (Signalled)
  std::string output;  // what the child wrote to its pipe (see `body`'s argument)

  bool ok() const { return kind == Exited && code == 0; }
  std::string describe() const;
};

/// Forks; the child runs `body(fd)` (it may write a short report to `fd`) and exits with its
/// return value. The parent waits at most `seconds`, then kills the child. Blocks.
ForkOutcome run_forked(const std::function<int(int fd)>& body, double seconds);

}  // namespace qn_test
