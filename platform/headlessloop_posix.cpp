#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/headlessloop.h"

namespace {

// Self-pipe: wake-ups write 'w', the stop handler writes 's'.
int WakeRead = -1;
int WakeWrite = -1;
std::atomic<bool> Waiting{false};
static_assert(std::atomic<bool>::is_always_lock_free, "used from a signal handler");

void OnStopSignal(int) {
  // Only the waiting loop can be trusted to notice the byte soon; a main
  // thread busy in a long journal upload would delay the stop.
  if (!Waiting.load()) _exit(0);
  const int saved = errno;
  const char stop = 's';
  [[maybe_unused]] const ssize_t ignored = write(WakeWrite, &stop, 1);
  errno = saved;
}

}  // namespace

bool OpenHeadlessLoop() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  WakeRead = fds[0];
  WakeWrite = fds[1];
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  return true;
}

void WakeHeadlessLoop() {
  // A full pipe already holds a pending wake-up, so a failed write loses
  // nothing.
  const char wake = 'w';
  [[maybe_unused]] const ssize_t ignored = write(WakeWrite, &wake, 1);
}

bool WaitHeadlessLoop() {
  Waiting.store(true);
  for (;;) {
    pollfd ready{WakeRead, POLLIN, 0};
    if (poll(&ready, 1, -1) < 0 && errno != EINTR) return false;
    char bytes[64];
    const ssize_t got = read(WakeRead, bytes, sizeof bytes);
    if (got <= 0) continue;
    Waiting.store(false);
    for (ssize_t i = 0; i < got; ++i) {
      if (bytes[i] == 's') return false;
    }
    return true;
  }
}
