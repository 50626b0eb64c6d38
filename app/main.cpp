#include <cstdio>
#include <exception>

#include "app/HeadlessMain.h"
#include "app/Startup.h"
#include "app/WindowEntry.h"

int main(int argc, char** argv) {
  try {
    StartUp();
  } catch (const std::exception& Error) {
    std::fprintf(stderr, "%s\n", Error.what());
    return 1;
  }
  RunWindowIfPossible(argc, argv);
  RunHeadless();
}
