#pragma once

// The program without a window: the same controller as the window's, with
// the balloon texts, state changes and stamps written to standard error. It
// runs the main-thread loop that serves the workers' events until SIGTERM or
// SIGINT, which end the process at once without waiting for the workers.
// Settings must exist (start-up stage 1). Does not return.
int RunHeadless();
