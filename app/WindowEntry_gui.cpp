#include "app/WindowEntry.h"

#include <cstdlib>

#include "ui/WindowMain.h"

namespace {

bool IsSet(const char* Name) {
  const char* Value = std::getenv(Name);
  return Value != nullptr && *Value != '\0';
}

}  // namespace

bool RunWindowIfPossible(int& argc, char** argv) {
  if (!IsSet("DISPLAY") && !IsSet("WAYLAND_DISPLAY")) return false;
  RunWindow(argc, argv);
}
