#include "platform/headlessloop.h"

#include <windows.h>

#include <atomic>

namespace {

// Auto-reset events: a wake-up for queued requests, and the stop.
HANDLE WakeEvent = nullptr;
HANDLE StopEvent = nullptr;
std::atomic<bool> Waiting{false};

// Ctrl+C, Ctrl+Break and closing the console arrive on a thread of the
// system's own.
BOOL WINAPI OnConsoleStop(DWORD) {
  // Only the waiting loop can be trusted to notice the stop soon; a main
  // thread busy in a long journal upload would delay it.
  if (!Waiting.load()) ExitProcess(0);
  SetEvent(StopEvent);
  return TRUE;
}

}  // namespace

bool OpenHeadlessLoop() {
  // The program's lines are UTF-8; a console shows them as such only when
  // told so (without a console this does nothing).
  SetConsoleOutputCP(CP_UTF8);
  WakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return WakeEvent != nullptr && StopEvent != nullptr &&
         SetConsoleCtrlHandler(OnConsoleStop, TRUE) != 0;
}

// A set event already holds a pending wake-up, so one for several requests
// loses nothing: the loop runs every queued request when it wakes.
void WakeHeadlessLoop() { SetEvent(WakeEvent); }

bool WaitHeadlessLoop() {
  Waiting.store(true);
  // The stop comes first, so a stop that arrives with a wake-up is not
  // missed.
  const HANDLE Events[2] = {StopEvent, WakeEvent};
  const DWORD Woken = WaitForMultipleObjects(2, Events, FALSE, INFINITE);
  Waiting.store(false);
  return Woken == WAIT_OBJECT_0 + 1;
}
