#include "platform/exename.h"

#include <unistd.h>

#include <climits>

std::string ExecutableFileName() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
  if (length <= 0) return {};
  const std::string full(path, static_cast<size_t>(length));
  return full.substr(full.rfind('/') + 1);
}
