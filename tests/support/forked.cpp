#include "support/forked.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace qn_test {

std::string ForkOutcome::describe() const {
  switch (kind) {
    case Exited:
      return "exited with " + std::to_string(code);
    case Signalled:
      return "killed by signal " + std::to_string(code);
    case TimedOut:
      return "timed out";
  }
  return "?";
}

ForkOutcome run_forked(const std::function<int(int fd)>& body, double seconds) {
  int fds[2];
  if (pipe(fds) != 0) std::abort();
  pid_t pid = fork();
  if (pid < 0) std::abort();
  if (pid == 0) {
    close(fds[0]);
    int rc = body(fds[1]);
    close(fds[1]);
    _exit(rc);  // no atexit handlers, no static destructors of the parent's state
  }
  close(fds[1]);
  ForkOutcome out;
  using clock = std::chrono::steady_clock;
  auto deadline = clock::now() + std::chrono::duration<double>(seconds);
  bool open = true;
  while (open) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
    if (left.count() <= 0) break;
    pollfd p{fds[0], POLLIN, 0};
    int n = poll(&p, 1, static_cast<int>(left.count()));
    if (n <= 0) continue;
    char buf[4096];
    ssize_t got = read(fds[0], buf, sizeof buf);
    if (got <= 0)
      open = false;
    else
      out.output.append(buf, static_cast<size_t>(got));
  }
  close(fds[0]);
  int status = 0;
  // The pipe closed: the child is on its way out. Give it until the deadline to finish.
  while (true) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      out.kind = ForkOutcome::TimedOut;
      return out;
    }
    usleep(2000);
  }
  if (WIFSIGNALED(status)) {
    out.kind = ForkOutcome::Signalled;
    out.code = WTERMSIG(status);
  } else {
    out.code = WEXITSTATUS(status);
  }
  return out;
}

}  // namespace qn_test
