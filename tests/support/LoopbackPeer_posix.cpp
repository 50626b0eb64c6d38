#include "support/LoopbackPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace {

bool WaitReadable(int Fd, int TimeoutMs) {
  pollfd Poll{Fd, POLLIN, 0};
  int Result;
  do {
    Result = poll(&Poll, 1, TimeoutMs);
  } while (Result < 0 && errno == EINTR);
  return Result > 0;
}

void CloseFd(int& Fd) {
  if (Fd >= 0) close(Fd);
  Fd = -1;
}

}  // namespace

LoopbackPeer::LoopbackPeer(TAddress Address) {
  const bool IPv6 = Address == TAddress::IPv6;
  FListener = socket(IPv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (FListener < 0) throw std::runtime_error("LoopbackPeer: socket failed");
  sockaddr_storage Storage{};
  socklen_t Length;
  if (IPv6) {
    auto& In6 = reinterpret_cast<sockaddr_in6&>(Storage);
    In6.sin6_family = AF_INET6;
    In6.sin6_addr = in6addr_loopback;
    Length = sizeof(In6);
  } else {
    auto& In = reinterpret_cast<sockaddr_in&>(Storage);
    In.sin_family = AF_INET;
    In.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Length = sizeof(In);
  }
  if (bind(FListener, reinterpret_cast<sockaddr*>(&Storage), Length) != 0 ||
      listen(FListener, 8) != 0 ||
      getsockname(FListener, reinterpret_cast<sockaddr*>(&Storage), &Length) != 0) {
    CloseFd(FListener);
    throw std::runtime_error("LoopbackPeer: cannot listen on loopback");
  }
  FPort = ntohs(IPv6 ? reinterpret_cast<sockaddr_in6&>(Storage).sin6_port
                     : reinterpret_cast<sockaddr_in&>(Storage).sin_port);
}

LoopbackPeer::~LoopbackPeer() {
  WaitSent();
  CloseFd(FConnection);
  CloseFd(FListener);
}

bool LoopbackPeer::HasPendingConnection(int TimeoutMs) {
  return FListener >= 0 && WaitReadable(FListener, TimeoutMs);
}

bool LoopbackPeer::Accept(int TimeoutMs) {
  if (!HasPendingConnection(TimeoutMs)) return false;
  CloseFd(FConnection);
  FConnection = accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
  if (FConnection < 0) return false;
  const int On = 1;
  setsockopt(FConnection, IPPROTO_TCP, TCP_NODELAY, &On, sizeof(On));
  return true;
}

void LoopbackPeer::CloseListener() { CloseFd(FListener); }

void LoopbackPeer::Send(std::string_view Bytes) {
  while (!Bytes.empty()) {
    const ssize_t Sent = send(FConnection, Bytes.data(), Bytes.size(), MSG_NOSIGNAL);
    if (Sent < 0 && errno == EINTR) continue;
    if (Sent <= 0) return;
    Bytes.remove_prefix(static_cast<size_t>(Sent));
  }
}

std::string LoopbackPeer::Receive(size_t Count, int TimeoutMs) {
  std::string Data;
  char Chunk[65536];
  while (Data.size() < Count && WaitReadable(FConnection, TimeoutMs)) {
    const ssize_t Got = recv(FConnection, Chunk, std::min(sizeof(Chunk), Count - Data.size()), 0);
    if (Got <= 0) break;
    Data.append(Chunk, static_cast<size_t>(Got));
  }
  return Data;
}

std::string LoopbackPeer::ReceiveUntilClosed(int TimeoutMs, bool* Closed) {
  std::string Data;
  char Chunk[65536];
  bool SawEnd = false;
  while (WaitReadable(FConnection, TimeoutMs)) {
    const ssize_t Got = recv(FConnection, Chunk, sizeof(Chunk), 0);
    if (Got < 0 && errno == EINTR) continue;
    if (Got <= 0) {
      SawEnd = Got == 0;
      break;
    }
    Data.append(Chunk, static_cast<size_t>(Got));
  }
  if (Closed != nullptr) *Closed = SawEnd;
  return Data;
}

void LoopbackPeer::ShutdownSend() { shutdown(FConnection, SHUT_WR); }

void LoopbackPeer::Close() { CloseFd(FConnection); }

void LoopbackPeer::Reset() {
  const linger Abort{1, 0};
  setsockopt(FConnection, SOL_SOCKET, SO_LINGER, &Abort, sizeof(Abort));
  CloseFd(FConnection);
}
