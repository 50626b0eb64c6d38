#pragma once

// Loopback ports for tests and benchmarks that point a client at a port of
// their choosing. Header-only, so that the benchmarks, which link only the
// core, can use it too.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace loopback_ports_detail {

// A socket bound to a free loopback port, and that port; -1 for both when
// none can be bound.
inline int BindFreePort(int& Socket) {
  Socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Length = sizeof Address;
  if (Socket < 0 || ::bind(Socket, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0 ||
      ::getsockname(Socket, reinterpret_cast<sockaddr*>(&Address), &Length) != 0) {
    if (Socket >= 0) ::close(Socket);
    Socket = -1;
    return -1;
  }
  return ntohs(Address.sin_port);
}

}  // namespace loopback_ports_detail

// A loopback port held by a socket that stays bound, never listening, until
// the program ends: connections to it are refused at once, and no other
// program can take the port meanwhile. -1 when none can be bound.
inline int RefusingLoopbackPort() {
  int Socket = -1;
  return loopback_ports_detail::BindFreePort(Socket);
}

// A loopback port that is free at the moment of the call, for a server
// started next. -1 when none can be bound.
inline int FreeLoopbackPort() {
  int Socket = -1;
  const int Port = loopback_ports_detail::BindFreePort(Socket);
  if (Socket >= 0) ::close(Socket);
  return Port;
}
