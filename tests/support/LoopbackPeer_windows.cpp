#include "support/LoopbackPeer.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <stdexcept>

// The peer talks to Windows Sockets directly, linked at build time, and
// starts it for itself: it must not depend on the run-time binding it tests.
// Socket handles are kept in the header's int fields; Windows guarantees
// that kernel handles fit in 32 bits.

namespace {

SOCKET Os(int Handle) { return static_cast<SOCKET>(Handle); }

bool WaitReadable(int Handle, int TimeoutMs) {
  fd_set Set;
  FD_ZERO(&Set);
  FD_SET(Os(Handle), &Set);
  timeval Limit{TimeoutMs / 1000, (TimeoutMs % 1000) * 1000};
  return select(0, &Set, nullptr, nullptr, &Limit) > 0;
}

void CloseSocketHandle(int& Handle) {
  if (Handle >= 0) closesocket(Os(Handle));
  Handle = -1;
}

// Winsock counts its start-ups; each peer holds one for its lifetime.
void StartWinsock() {
  WSADATA Data;
  if (WSAStartup(MAKEWORD(2, 2), &Data) != 0)
    throw std::runtime_error("LoopbackPeer: WSAStartup failed");
}

}  // namespace

LoopbackPeer::LoopbackPeer(TAddress Address) {
  StartWinsock();
  const bool IPv6 = Address == TAddress::IPv6;
  const SOCKET Listener = socket(IPv6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (Listener == INVALID_SOCKET) {
    WSACleanup();
    throw std::runtime_error("LoopbackPeer: socket failed");
  }
  FListener = static_cast<int>(Listener);
  sockaddr_storage Storage{};
  int Length;
  if (IPv6) {
    auto& In6 = reinterpret_cast<sockaddr_in6&>(Storage);
    In6.sin6_family = AF_INET6;
    In6.sin6_addr.s6_addr[15] = 1;
    Length = sizeof(In6);
  } else {
    auto& In = reinterpret_cast<sockaddr_in&>(Storage);
    In.sin_family = AF_INET;
    In.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Length = sizeof(In);
  }
  if (bind(Listener, reinterpret_cast<sockaddr*>(&Storage), Length) != 0 ||
      listen(Listener, 8) != 0 ||
      getsockname(Listener, reinterpret_cast<sockaddr*>(&Storage), &Length) != 0) {
    CloseSocketHandle(FListener);
    WSACleanup();
    throw std::runtime_error("LoopbackPeer: cannot listen on loopback");
  }
  FPort = ntohs(IPv6 ? reinterpret_cast<sockaddr_in6&>(Storage).sin6_port
                     : reinterpret_cast<sockaddr_in&>(Storage).sin_port);
}

LoopbackPeer::~LoopbackPeer() {
  WaitSent();
  CloseSocketHandle(FConnection);
  CloseSocketHandle(FListener);
  WSACleanup();
}

bool LoopbackPeer::HasPendingConnection(int TimeoutMs) {
  return FListener >= 0 && WaitReadable(FListener, TimeoutMs);
}

bool LoopbackPeer::Accept(int TimeoutMs) {
  if (!HasPendingConnection(TimeoutMs)) return false;
  CloseSocketHandle(FConnection);
  const SOCKET Accepted = accept(Os(FListener), nullptr, nullptr);
  if (Accepted == INVALID_SOCKET) return false;
  FConnection = static_cast<int>(Accepted);
  const BOOL On = TRUE;
  setsockopt(Accepted, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&On), sizeof(On));
  return true;
}

void LoopbackPeer::CloseListener() { CloseSocketHandle(FListener); }

void LoopbackPeer::Send(std::string_view Bytes) {
  while (!Bytes.empty()) {
    const int Piece = static_cast<int>(std::min<size_t>(Bytes.size(), 1 << 20));
    const int Sent = send(Os(FConnection), Bytes.data(), Piece, 0);
    if (Sent <= 0) return;
    Bytes.remove_prefix(static_cast<size_t>(Sent));
  }
}

std::string LoopbackPeer::Receive(size_t Count, int TimeoutMs) {
  std::string Data;
  char Chunk[65536];
  while (Data.size() < Count && WaitReadable(FConnection, TimeoutMs)) {
    const int Want = static_cast<int>(std::min(sizeof(Chunk), Count - Data.size()));
    const int Got = recv(Os(FConnection), Chunk, Want, 0);
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
    const int Got = recv(Os(FConnection), Chunk, sizeof(Chunk), 0);
    if (Got <= 0) {
      SawEnd = Got == 0;
      break;
    }
    Data.append(Chunk, static_cast<size_t>(Got));
  }
  if (Closed != nullptr) *Closed = SawEnd;
  return Data;
}

void LoopbackPeer::ShutdownSend() { shutdown(Os(FConnection), SD_SEND); }

void LoopbackPeer::Close() { CloseSocketHandle(FConnection); }

void LoopbackPeer::Reset() {
  const linger Abort{1, 0};
  setsockopt(Os(FConnection), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&Abort),
             sizeof(Abort));
  CloseSocketHandle(FConnection);
}
