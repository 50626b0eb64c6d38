#include <cstdio>
#include <exception>

#include "app/Startup.h"

int main() {
  try {
    StartUp();
  } catch (const std::exception& Error) {
    std::fprintf(stderr, "%s\n", Error.what());
    return 1;
  }
  EndProcess(0);
}
