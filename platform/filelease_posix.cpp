#include "platform/filelease.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

// While the probe holds its lease, an open by any other process breaks it,
// and the kernel tells the lease owner, this whole process, by a signal:
// SIGIO unless the descriptor names another, and SIGIO's default action ends
// the process. The notice goes instead as SIGURG, whose default action is to
// discard it, so no disposition of the process has to change and it does
// not matter which thread the kernel picks or what signals a thread blocks.
// A signal of this kind is never queued twice, so the kernel has no reason
// to fall back on SIGIO.
constexpr int BreakNotice = SIGURG;

// Leases are probed only while the notice would be discarded: a handler
// that someone installed for the signal must not see lease breaks.
bool BreakNoticeDiscarded() {
  struct sigaction Current {};
  return ::sigaction(BreakNotice, nullptr, &Current) == 0 &&
         (Current.sa_handler == SIG_DFL || Current.sa_handler == SIG_IGN) &&
         (Current.sa_flags & SA_SIGINFO) == 0;
}

bool IsRegularFile(int Fd) {
  struct stat Info {};
  return ::fstat(Fd, &Info) == 0 && S_ISREG(Info.st_mode);
}

// A descriptor closed when it goes.
class TProbeDescriptor {
 public:
  explicit TProbeDescriptor(int Fd) : FFd(Fd) {}
  ~TProbeDescriptor() {
    if (FFd >= 0) ::close(FFd);
  }
  TProbeDescriptor(const TProbeDescriptor&) = delete;
  TProbeDescriptor& operator=(const TProbeDescriptor&) = delete;
  int Fd() const { return FFd; }

 private:
  int FFd;
};

}  // namespace

THeldOpen ProbeHeldOpen(const std::string& Path) {
  // Only regular files are opened: opening a device can have effects of
  // its own.
  struct stat Info {};
  if (::stat(Path.c_str(), &Info) != 0 || !S_ISREG(Info.st_mode)) return THeldOpen::Unknown;
  if (!BreakNoticeDiscarded()) return THeldOpen::Unknown;
  // O_NONBLOCK keeps the open from waiting for a lease that someone else
  // holds, which means they have it open.
  const TProbeDescriptor File(::open(Path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (File.Fd() < 0) return errno == EWOULDBLOCK ? THeldOpen::Yes : THeldOpen::Unknown;
  if (!IsRegularFile(File.Fd()) || ::fcntl(File.Fd(), F_SETSIG, BreakNotice) != 0) {
    return THeldOpen::Unknown;
  }
  // A write lease is granted only while no other descriptor of the file is
  // open anywhere; it is given back at once.
  if (::fcntl(File.Fd(), F_SETLEASE, F_WRLCK) == 0) {
    ::fcntl(File.Fd(), F_SETLEASE, F_UNLCK);
    return THeldOpen::No;
  }
  // EACCES: another user's file without the right to lease it; EINVAL: a
  // file system without leases.
  return errno == EAGAIN ? THeldOpen::Yes : THeldOpen::Unknown;
}
