#pragma once

#include <functional>

// Main-thread dispatch: a worker thread hands a method to the main thread and
// waits until it has run there. Requests from all threads share one queue and
// run one at a time in arrival order. An exception thrown by the method is
// caught on the main thread and thrown again in the waiting worker, so errors
// cross the thread boundary only here, and on purpose.

// Called by a worker: queues the request, wakes the main thread and blocks
// until CheckSynchronize has run Method; rethrows what Method threw. Called on
// the main thread itself, it runs Method at once.
void Synchronize(std::function<void()> Method);

// Called by the main thread's event loop: runs every pending request in
// arrival order. Returns whether any ran. A call from inside a running
// request (a nested event loop) does nothing, so requests never overlap.
bool CheckSynchronize();

// The hook that wakes the main thread's event loop when a request is queued.
// It is called from worker threads and must only post a wake-up (the Qt window
// queues a call of CheckSynchronize, the headless loop signals its wait).
// Without a hook, requests wait until someone calls CheckSynchronize.
void SetWakeMainThread(std::function<void()> WakeUp);
