#pragma once

#include <memory>
#include <string>

// The display the window is drawn on, chosen before the toolkit starts: the
// toolkit ends the whole process when none of the displays it tries
// answers, and the exchange would then not run at all.
struct TDisplayChoice {
  bool Usable = false;
  // The toolkit platforms to try, in order ("xcb", "wayland;xcb"); empty
  // for the toolkit's own choice.
  std::string Platforms;
  // One line for the user when displays are named but none of them answers;
  // empty otherwise.
  std::string Reason;
  // The probe's own connection, to be kept while the window runs: a bare X
  // server starts over when its last client leaves, and the toolkit's
  // connection would meet it half-way.
  std::shared_ptr<void> Held;
};

// Asks each display that this session names whether it answers. Where no
// display is named at all the program runs without a window and there is
// nothing to explain.
TDisplayChoice ChooseDisplay();
