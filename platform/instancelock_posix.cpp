#include "platform/instancelock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace {

// A name in the abstract socket namespace, made from the folder's identity
// so that every path to one folder gives the same name. It vanishes with
// the socket: no file is left in the folder and no stale name after a kill.
bool ShowRequestAddress(const std::string& Folder, sockaddr_un& Address, socklen_t& Length) {
  struct stat Info {};
  if (::stat(Folder.c_str(), &Info) != 0) return false;
  const std::string Name =
      "quorvel-show-" + std::to_string(Info.st_dev) + "-" + std::to_string(Info.st_ino);
  Address = {};
  Address.sun_family = AF_UNIX;
  // sun_path[0] stays zero: the abstract namespace.
  std::memcpy(Address.sun_path + 1, Name.data(), Name.size());
  Length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + Name.size());
  return true;
}

}  // namespace

TFolderClaim ClaimProgramFolder(const std::string& Folder) {
  // Kept open, and so locked, until the process ends.
  const int Handle = ::open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (Handle < 0) return TFolderClaim::Unknown;
  if (::flock(Handle, LOCK_EX | LOCK_NB) == 0) return TFolderClaim::Claimed;
  const int Error = errno;
  ::close(Handle);
  return Error == EWOULDBLOCK ? TFolderClaim::HeldByAnother : TFolderClaim::Unknown;
}

void AskFolderAgentToShowWindow(const std::string& Folder) {
  sockaddr_un Address{};
  socklen_t Length = 0;
  if (!ShowRequestAddress(Folder, Address, Length)) return;
  const int Socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (Socket < 0) return;
  // The connection itself is the request; no agent listening is no error.
  (void)::connect(Socket, reinterpret_cast<const sockaddr*>(&Address), Length);
  ::close(Socket);
}

bool ServeShowWindowRequests(const std::string& Folder, std::function<void()> OnAsked) {
  sockaddr_un Address{};
  socklen_t Length = 0;
  if (!ShowRequestAddress(Folder, Address, Length)) return false;
  const int Socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (Socket < 0) return false;
  if (::bind(Socket, reinterpret_cast<const sockaddr*>(&Address), Length) != 0 ||
      ::listen(Socket, 4) != 0) {
    ::close(Socket);
    return false;
  }
  // Runs until the process ends, which never waits for it.
  std::thread([Socket, OnAsked = std::move(OnAsked)] {
    for (;;) {
      const int Peer = ::accept4(Socket, nullptr, nullptr, SOCK_CLOEXEC);
      if (Peer < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;
      }
      ::close(Peer);
      OnAsked();
    }
  }).detach();
  return true;
}
