#include "platform/filelease.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

bool IsFileHeldOpen(const std::string& Path) {
  // A write lease is granted only while no other descriptor of the file is
  // open anywhere. O_NONBLOCK keeps the open from waiting for a lease that
  // someone else holds; that case counts as held, too.
  const int fd = open(Path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == EWOULDBLOCK;
  const bool held = fcntl(fd, F_SETLEASE, F_WRLCK) != 0 && errno == EAGAIN;
  if (!held) fcntl(fd, F_SETLEASE, F_UNLCK);
  close(fd);
  return held;
}
