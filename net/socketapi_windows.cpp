#include "net/socketapi.h"

#include <climits>
#include <cstring>

// After the layer's own declarations: the Windows headers define macros of the
// same names as its error constants, with the same values.
#include "net/socketapi_windows.h"

namespace {

std::wstring SystemFolderFile(const wchar_t* Name) {
  wchar_t Folder[MAX_PATH] = {};
  const UINT Length = GetSystemDirectoryW(Folder, MAX_PATH);
  if (Length == 0 || Length >= MAX_PATH) return Name;
  return std::wstring(Folder, Length) + L"\\" + Name;
}

}  // namespace

TWindowsSocketLibraries& WindowsSocketLibraries() {
  static TWindowsSocketLibraries Libraries{SystemFolderFile(L"ws2_32.dll"),
                                           SystemFolderFile(L"wship6.dll")};
  return Libraries;
}

TWindowsResolverCalls& WindowsResolverCalls() {
  static TWindowsResolverCalls Calls;
  return Calls;
}

namespace SocketApi {
namespace {

// Entry points of the loaded library. Nothing here is imported at link time,
// so the program starts on a system whose Windows Sockets cannot be loaded
// and reports that itself. Only the calls this layer makes are looked up.
struct TSocketCalls {
  decltype(&::WSAStartup) WSAStartup = nullptr;
  decltype(&::WSACleanup) WSACleanup = nullptr;
  decltype(&::WSAGetLastError) WSAGetLastError = nullptr;
  decltype(&::socket) socket = nullptr;
  decltype(&::connect) connect = nullptr;
  decltype(&::bind) bind = nullptr;
  decltype(&::listen) listen = nullptr;
  decltype(&::accept) accept = nullptr;
  decltype(&::send) send = nullptr;
  decltype(&::recv) recv = nullptr;
  decltype(&::select) select = nullptr;
  decltype(&::ioctlsocket) ioctlsocket = nullptr;
  decltype(&::shutdown) shutdown = nullptr;
  decltype(&::closesocket) closesocket = nullptr;
  decltype(&::getsockname) getsockname = nullptr;
  decltype(&::getpeername) getpeername = nullptr;
  decltype(&::gethostname) gethostname = nullptr;
  decltype(&::gethostbyname) gethostbyname = nullptr;
  decltype(&::getprotobynumber) getprotobynumber = nullptr;
  decltype(&::getservbyname) getservbyname = nullptr;
  decltype(&::inet_addr) inet_addr = nullptr;
};

// The modern resolver counts only when all three calls come from one library.
bool Complete(const TWindowsResolverCalls& Resolver) {
  return Resolver.GetAddrInfo != nullptr && Resolver.FreeAddrInfo != nullptr &&
         Resolver.GetNameInfo != nullptr;
}

HMODULE SocketsModule = nullptr;
HMODULE IPv6Module = nullptr;
TSocketCalls Calls;

thread_local int LastError = 0;

template <typename TEntry>
void Take(HMODULE Module, const char* Name, TEntry& Entry) {
  // Through the one function type that converts to any other without a
  // warning: GetProcAddress knows nothing of the entry's real signature.
  Entry = reinterpret_cast<TEntry>(reinterpret_cast<void (*)()>(GetProcAddress(Module, Name)));
}

TSocketCalls BindSocketCalls(HMODULE Module) {
  TSocketCalls Bound;
  Take(Module, "WSAStartup", Bound.WSAStartup);
  Take(Module, "WSACleanup", Bound.WSACleanup);
  Take(Module, "WSAGetLastError", Bound.WSAGetLastError);
  Take(Module, "socket", Bound.socket);
  Take(Module, "connect", Bound.connect);
  Take(Module, "bind", Bound.bind);
  Take(Module, "listen", Bound.listen);
  Take(Module, "accept", Bound.accept);
  Take(Module, "send", Bound.send);
  Take(Module, "recv", Bound.recv);
  Take(Module, "select", Bound.select);
  Take(Module, "ioctlsocket", Bound.ioctlsocket);
  Take(Module, "shutdown", Bound.shutdown);
  Take(Module, "closesocket", Bound.closesocket);
  Take(Module, "getsockname", Bound.getsockname);
  Take(Module, "getpeername", Bound.getpeername);
  Take(Module, "gethostname", Bound.gethostname);
  Take(Module, "gethostbyname", Bound.gethostbyname);
  Take(Module, "getprotobynumber", Bound.getprotobynumber);
  Take(Module, "getservbyname", Bound.getservbyname);
  Take(Module, "inet_addr", Bound.inet_addr);
  return Bound;
}

TWindowsResolverCalls BindResolverCalls(HMODULE Module) {
  TWindowsResolverCalls Bound;
  Take(Module, "getaddrinfo", Bound.GetAddrInfo);
  Take(Module, "freeaddrinfo", Bound.FreeAddrInfo);
  Take(Module, "getnameinfo", Bound.GetNameInfo);
  return Bound;
}

// Records the reason of the call just made; answers -1 so callers can
// return it.
int Failed() {
  LastError = Calls.WSAGetLastError != nullptr ? Calls.WSAGetLastError() : WSASYSNOTREADY;
  return -1;
}

// What a call reports when the loaded library lacks its entry point (or the
// library is not loaded): the network cannot be used.
int Unavailable() {
  LastError = WSASYSNOTREADY;
  return -1;
}

SOCKET Os(TSocketHandle Handle) { return static_cast<SOCKET>(Handle); }

// Ports travel in network byte order; written byte by byte, since htons is
// an entry point of the library like any other.
void PutPort(u_short& Field, uint16_t Port) {
  const unsigned char Bytes[2] = {static_cast<unsigned char>(Port >> 8),
                                  static_cast<unsigned char>(Port & 0xFF)};
  std::memcpy(&Field, Bytes, 2);
}

uint16_t GetPort(const u_short& Field) {
  unsigned char Bytes[2];
  std::memcpy(Bytes, &Field, 2);
  return static_cast<uint16_t>((Bytes[0] << 8) | Bytes[1]);
}

int ToSockAddr(const TVarSin& Sin, SOCKADDR_STORAGE& Storage) {
  std::memset(&Storage, 0, sizeof(Storage));
  if (Sin.Family == VARSIN_AF_INET) {
    sockaddr_in In{};
    In.sin_family = AF_INET;
    PutPort(In.sin_port, Sin.Port);
    std::memcpy(&In.sin_addr, Sin.Addr, 4);
    std::memcpy(&Storage, &In, sizeof(In));
    return sizeof(sockaddr_in);
  }
  if (Sin.Family == VARSIN_AF_INET6) {
    sockaddr_in6 In6{};
    In6.sin6_family = AF_INET6;
    PutPort(In6.sin6_port, Sin.Port);
    std::memcpy(&In6.sin6_addr, Sin.Addr, 16);
    In6.sin6_scope_id = Sin.ScopeId;
    std::memcpy(&Storage, &In6, sizeof(In6));
    return sizeof(sockaddr_in6);
  }
  // An address of no family: the call fails with the library's own reason.
  return 0;
}

TVarSin FromSockAddr(const sockaddr* Addr) {
  TVarSin Sin;
  if (Addr->sa_family == AF_INET) {
    sockaddr_in In;
    std::memcpy(&In, Addr, sizeof(In));
    Sin.Family = VARSIN_AF_INET;
    Sin.Port = GetPort(In.sin_port);
    std::memcpy(Sin.Addr, &In.sin_addr, 4);
  } else if (Addr->sa_family == AF_INET6) {
    sockaddr_in6 In6;
    std::memcpy(&In6, Addr, sizeof(In6));
    Sin.Family = VARSIN_AF_INET6;
    Sin.Port = GetPort(In6.sin6_port);
    std::memcpy(Sin.Addr, &In6.sin6_addr, 16);
    Sin.ScopeId = In6.sin6_scope_id;
  }
  return Sin;
}

// A Windows descriptor set is a count and an array of handles, so one socket
// fits whatever its handle value; FD_SET is not used because FD_ISSET would
// call into the library unbound.
int WaitFor(TSocketHandle Handle, bool Writing, int Timeout) {
  if (Calls.select == nullptr) return Unavailable();
  if (Handle == INVALID_SOCKET_HANDLE) {
    LastError = WSAENOTSOCK;
    return -1;
  }
  fd_set Set;
  Set.fd_count = 1;
  Set.fd_array[0] = Os(Handle);
  timeval Limit{Timeout / 1000, (Timeout % 1000) * 1000};
  const int Result = Calls.select(0, Writing ? nullptr : &Set, Writing ? &Set : nullptr, nullptr,
                                  Timeout < 0 ? nullptr : &Limit);
  if (Result == SOCKET_ERROR) return Failed();
  return Result > 0 ? 1 : 0;
}

using TNameQuery = decltype(&::getsockname);

int NameOf(TSocketHandle Handle, TVarSin& Sin, TNameQuery Query) {
  if (Query == nullptr) return Unavailable();
  SOCKADDR_STORAGE Storage{};
  int Length = sizeof(Storage);
  if (Query(Os(Handle), reinterpret_cast<sockaddr*>(&Storage), &Length) != 0) return Failed();
  Sin = FromSockAddr(reinterpret_cast<const sockaddr*>(&Storage));
  return 0;
}

void ReleaseModule(HMODULE& Module) {
  if (Module != nullptr) FreeLibrary(Module);
  Module = nullptr;
}

}  // namespace

bool LoadLibraries(TResolverSupport& Support) {
  Support = TResolverSupport{};
  const TWindowsSocketLibraries& Files = WindowsSocketLibraries();
  SocketsModule = LoadLibraryW(Files.Sockets.c_str());
  if (SocketsModule == nullptr) return false;
  Calls = BindSocketCalls(SocketsModule);
  TWindowsResolverCalls& Resolver = WindowsResolverCalls();
  Resolver = BindResolverCalls(SocketsModule);
  if (Complete(Resolver)) {
    Support.AllFamilies = true;
    return true;
  }
  // Older systems keep getaddrinfo in the IPv6 helper; without it (or with
  // only part of it) the legacy IPv4 calls are left.
  IPv6Module = LoadLibraryW(Files.IPv6Support.c_str());
  Resolver = IPv6Module != nullptr ? BindResolverCalls(IPv6Module) : TWindowsResolverCalls{};
  if (Complete(Resolver)) {
    Support.IPv6Only = true;
    return true;
  }
  Resolver = TWindowsResolverCalls{};
  ReleaseModule(IPv6Module);
  return true;
}

void FreeLibraries() {
  Calls = TSocketCalls{};
  WindowsResolverCalls() = TWindowsResolverCalls{};
  ReleaseModule(IPv6Module);
  ReleaseModule(SocketsModule);
}

void Startup() {
  if (Calls.WSAStartup == nullptr) return;
  WSADATA Data;
  Calls.WSAStartup(MAKEWORD(2, 2), &Data);
}

void Cleanup() {
  if (Calls.WSACleanup != nullptr) Calls.WSACleanup();
}

int LastSocketError() { return LastError; }

TSocketHandle Socket(uint16_t Family, int Type, int Protocol) {
  if (Calls.socket == nullptr) {
    Unavailable();
    return INVALID_SOCKET_HANDLE;
  }
  const SOCKET Handle = Calls.socket(Family, Type, Protocol);
  if (Handle == INVALID_SOCKET) {
    Failed();
    return INVALID_SOCKET_HANDLE;
  }
  return static_cast<TSocketHandle>(Handle);
}

int Connect(TSocketHandle Handle, const TVarSin& Sin) {
  if (Calls.connect == nullptr) return Unavailable();
  SOCKADDR_STORAGE Storage;
  const int Length = ToSockAddr(Sin, Storage);
  if (Calls.connect(Os(Handle), reinterpret_cast<const sockaddr*>(&Storage), Length) != 0)
    return Failed();
  return 0;
}

int Bind(TSocketHandle Handle, const TVarSin& Sin) {
  if (Calls.bind == nullptr) return Unavailable();
  SOCKADDR_STORAGE Storage;
  const int Length = ToSockAddr(Sin, Storage);
  if (Calls.bind(Os(Handle), reinterpret_cast<const sockaddr*>(&Storage), Length) != 0)
    return Failed();
  return 0;
}

int Listen(TSocketHandle Handle, int Backlog) {
  if (Calls.listen == nullptr) return Unavailable();
  if (Calls.listen(Os(Handle), Backlog) != 0) return Failed();
  return 0;
}

TSocketHandle Accept(TSocketHandle Handle, TVarSin& Remote) {
  if (Calls.accept == nullptr) {
    Unavailable();
    return INVALID_SOCKET_HANDLE;
  }
  SOCKADDR_STORAGE Storage{};
  int Length = sizeof(Storage);
  const SOCKET Accepted = Calls.accept(Os(Handle), reinterpret_cast<sockaddr*>(&Storage), &Length);
  if (Accepted == INVALID_SOCKET) {
    Failed();
    return INVALID_SOCKET_HANDLE;
  }
  Remote = FromSockAddr(reinterpret_cast<const sockaddr*>(&Storage));
  return static_cast<TSocketHandle>(Accepted);
}

// Windows Sockets raises no signal when the peer has gone: send fails.
int Send(TSocketHandle Handle, const char* Data, int Length) {
  if (Calls.send == nullptr) return Unavailable();
  const int Result = Calls.send(Os(Handle), Data, Length, 0);
  if (Result == SOCKET_ERROR) return Failed();
  return Result;
}

int Recv(TSocketHandle Handle, char* Data, int Length) {
  if (Calls.recv == nullptr) return Unavailable();
  const int Result = Calls.recv(Os(Handle), Data, Length, 0);
  if (Result == SOCKET_ERROR) return Failed();
  return Result;
}

int WaitReadable(TSocketHandle Handle, int Timeout) { return WaitFor(Handle, false, Timeout); }

int WaitWritable(TSocketHandle Handle, int Timeout) { return WaitFor(Handle, true, Timeout); }

int BytesWaiting(TSocketHandle Handle, int& Count) {
  if (Calls.ioctlsocket == nullptr) return Unavailable();
  u_long Waiting = 0;
  if (Calls.ioctlsocket(Os(Handle), FIONREAD, &Waiting) != 0) return Failed();
  Count = Waiting > INT_MAX ? INT_MAX : static_cast<int>(Waiting);
  return 0;
}

int ShutdownSend(TSocketHandle Handle) {
  if (Calls.shutdown == nullptr) return Unavailable();
  if (Calls.shutdown(Os(Handle), SD_SEND) != 0) return Failed();
  return 0;
}

int Close(TSocketHandle Handle) {
  if (Calls.closesocket == nullptr) return Unavailable();
  if (Calls.closesocket(Os(Handle)) != 0) return Failed();
  return 0;
}

int GetSockName(TSocketHandle Handle, TVarSin& Sin) {
  return NameOf(Handle, Sin, Calls.getsockname);
}

int GetPeerName(TSocketHandle Handle, TVarSin& Sin) {
  return NameOf(Handle, Sin, Calls.getpeername);
}

int GetHostName(char* Name, int Length) {
  if (Calls.gethostname == nullptr) return Unavailable();
  if (Calls.gethostname(Name, Length) != 0) return Failed();
  return 0;
}

// getaddrinfo of Windows Sockets answers its failures in the Windows Sockets
// numbering already (WSAHOST_NOT_FOUND for an unknown host).
int GetFirstAddress(const char* Node, const char* Service, uint16_t Family, bool Passive,
                    TVarSin& Sin) {
  const TWindowsResolverCalls& Resolver = WindowsResolverCalls();
  if (Resolver.GetAddrInfo == nullptr || Resolver.FreeAddrInfo == nullptr) return WSASYSNOTREADY;
  ADDRINFOA Hints{};
  Hints.ai_flags = Passive ? AI_PASSIVE : 0;
  Hints.ai_family = Family;
  Hints.ai_socktype = SOCK_STREAM;
  Hints.ai_protocol = IPPROTO_TCP;
  ADDRINFOA* List = nullptr;
  const int Result = Resolver.GetAddrInfo(Node, Service, &Hints, &List);
  int Outcome = Result;
  if (Result == 0) Outcome = List != nullptr && List->ai_addr != nullptr ? 0 : WSANO_DATA;
  if (Outcome == 0) Sin = FromSockAddr(List->ai_addr);
  if (List != nullptr) Resolver.FreeAddrInfo(List);
  return Outcome;
}

bool GetServicePort(const char* Service, uint16_t& Port) {
  if (Calls.getservbyname == nullptr) return false;
  const protoent* Protocol =
      Calls.getprotobynumber != nullptr ? Calls.getprotobynumber(IPPROTO_TCP) : nullptr;
  const servent* Entry =
      Calls.getservbyname(Service, Protocol != nullptr ? Protocol->p_name : nullptr);
  if (Entry == nullptr) return false;
  Port = GetPort(static_cast<u_short>(Entry->s_port));
  return true;
}

bool InetAddr(const char* Host, uint8_t (&Addr)[4]) {
  if (Calls.inet_addr == nullptr) return false;
  // The broadcast address is the failure answer too; callers test for it
  // before they ask.
  const unsigned long Parsed = Calls.inet_addr(Host);
  if (Parsed == INADDR_NONE) return false;
  const uint32_t Bytes = static_cast<uint32_t>(Parsed);
  std::memcpy(Addr, &Bytes, 4);
  return true;
}

int GetHostByName(const char* Host, uint8_t (&Addr)[4]) {
  if (Calls.gethostbyname == nullptr) return WSASYSNOTREADY;
  const hostent* Entry = Calls.gethostbyname(Host);
  if (Entry == nullptr) {
    Failed();
    return LastError != 0 ? LastError : WSAHOST_NOT_FOUND;
  }
  if (Entry->h_addrtype != AF_INET || Entry->h_addr_list[0] == nullptr) return WSANO_DATA;
  std::memcpy(Addr, Entry->h_addr_list[0], 4);
  return 0;
}

}  // namespace SocketApi
