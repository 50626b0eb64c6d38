#include "platform/headlessloop.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <system_error>
#include <thread>

namespace {

// Self-pipe: wake-ups write 'w', a stop writes 's'.
int WakeRead = -1;
int WakeWrite = -1;
std::atomic<bool> Waiting{false};

// SIGTERM and SIGINT are blocked everywhere and taken here, on a thread of
// their own, so no signal handler ever interrupts other code.
void WatchStopSignals(sigset_t StopSignals) {
  for (;;) {
    int received = 0;
    if (sigwait(&StopSignals, &received) != 0) continue;
    // Only the waiting loop can be trusted to notice the byte soon; a main
    // thread busy in a long journal upload would delay the stop.
    if (!Waiting.load()) _exit(0);
    const char stop = 's';
    [[maybe_unused]] const ssize_t ignored = write(WakeWrite, &stop, 1);
  }
}

}  // namespace

bool OpenHeadlessLoop() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  WakeRead = fds[0];
  WakeWrite = fds[1];
  // Threads started later inherit the mask, so the watcher alone takes them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  if (pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) != 0) return false;
  try {
    std::thread(WatchStopSignals, stopSignals).detach();
  } catch (const std::system_error&) {
    return false;
  }
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
