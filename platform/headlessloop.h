#pragma once

// The main-thread wait of the program without a window: it sleeps until a
// worker queues a main-thread request or the process is told to stop
// (SIGTERM or SIGINT on Linux).

// Prepares the wait and starts watching for a stop. Called once, on the main
// thread, before any worker exists; false when the wait cannot be set up. A
// stop that arrives while the main thread is busy elsewhere ends the process
// at once; standard error is unbuffered, so nothing written is lost.
bool OpenHeadlessLoop();

// Wakes the wait; safe from any thread.
void WakeHeadlessLoop();

// Blocks until woken; false once a stop was requested.
bool WaitHeadlessLoop();
