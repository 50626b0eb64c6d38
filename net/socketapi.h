#pragma once

#include <cstdint>

#include "net/blcksock.h"

// The operating system's socket calls in the shape of Windows Sockets, which
// the blocking socket is written against. Every call answers -1 (or an
// invalid handle) on failure and leaves the reason for LastSocketError(),
// already in the Windows Sockets numbering, so the socket class never sees a
// platform error number. The POSIX build calls the C library directly; a
// Windows build binds ws2_32.dll at run time behind the same functions.
namespace SocketApi {

// Which resolver the bound library offers: getaddrinfo and its companions
// for every family, for IPv6 only, or (neither flag) only the legacy IPv4
// calls.
struct TResolverSupport {
  bool AllFamilies = false;
  bool IPv6Only = false;
};

// Binds the socket library and looks up its entry points; false when the
// library cannot be loaded. Callers hold the library lock.
bool LoadLibraries(TResolverSupport& Support);
void FreeLibraries();
// WSAStartup for version 2.2 and its counterpart; results are not examined.
void Startup();
void Cleanup();

// The reason of the calling thread's last failed call (WSAGetLastError).
int LastSocketError();

// Socket types and protocols in the numbering the socket class uses.
inline constexpr int SOCK_STREAM_TYPE = 1;
inline constexpr int IPPROTO_TCP_PROTOCOL = 6;

TSocketHandle Socket(uint16_t Family, int Type, int Protocol);
int Connect(TSocketHandle Handle, const TVarSin& Sin);
int Bind(TSocketHandle Handle, const TVarSin& Sin);
int Listen(TSocketHandle Handle, int Backlog);
TSocketHandle Accept(TSocketHandle Handle, TVarSin& Remote);
// A peer that has gone away yields an error, never a signal that ends the
// process.
int Send(TSocketHandle Handle, const char* Data, int Length);
int Recv(TSocketHandle Handle, char* Data, int Length);
// Readiness of one socket: 1 ready, 0 not within Timeout ms, -1 failure.
// Timeout -1 waits without limit, 0 only polls. Any handle value works,
// however many sockets the process holds.
int WaitReadable(TSocketHandle Handle, int Timeout);
int WaitWritable(TSocketHandle Handle, int Timeout);
// Bytes that a receive would return now (ioctlsocket FIONREAD).
int BytesWaiting(TSocketHandle Handle, int& Count);
int ShutdownSend(TSocketHandle Handle);
int Close(TSocketHandle Handle);
int GetSockName(TSocketHandle Handle, TVarSin& Sin);
int GetPeerName(TSocketHandle Handle, TVarSin& Sin);
int GetHostName(char* Name, int Length);

// The modern resolver: the first address getaddrinfo gives for a stream
// socket over TCP. Node nullptr asks for the loopback address of the family,
// or with Passive for the any-address. Answers 0 or the resolver's failure
// code in the Windows Sockets numbering (11001 for an unknown host); Sin is
// left alone on failure.
int GetFirstAddress(const char* Node, const char* Service, uint16_t Family, bool Passive,
                    TVarSin& Sin);

// The legacy IPv4 resolver. These calls are not safe for concurrent use:
// callers hold the socket library lock.
// The port (host byte order) of a named TCP service.
bool GetServicePort(const char* Service, uint16_t& Port);
// A dotted IPv4 text as four bytes in network order.
bool InetAddr(const char* Host, uint8_t (&Addr)[4]);
// The first IPv4 address of a host name; 0 or the failure code.
int GetHostByName(const char* Host, uint8_t (&Addr)[4]);

}  // namespace SocketApi
