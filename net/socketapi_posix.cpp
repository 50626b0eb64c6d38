#include "net/socketapi.h"
#include "net/socketapi_posix.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

TPosixResolverCalls& PosixResolverCalls() {
  static TPosixResolverCalls Calls;
  return Calls;
}

namespace SocketApi {
namespace {

thread_local int LastError = 0;

// errno values by meaning into the Windows Sockets numbering, so callers and
// error texts are the same on every platform. A value with no counterpart
// stays as it is: still non-zero, and its text names the number.
int TranslateErrno(int Error) {
  switch (Error) {
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EPERM:
    case EACCES: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case ENFILE:
    case EMFILE: return 10024;
    case EWOULDBLOCK: return 10035;
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    // Writing to a connection the peer has closed is a reset in Windows
    // Sockets terms.
    case EPIPE:
    case ECONNRESET: return 10054;
    case ENOMEM:
    case ENOBUFS: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ESHUTDOWN: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    case EUSERS: return 10068;
    case EDQUOT: return 10069;
    case ESTALE: return 10070;
    case EREMOTE: return 10071;
    default: return Error;
  }
}

int TranslateResolverError(int Error) {
  switch (Error) {
    case EAI_NONAME: return 11001;
    case EAI_AGAIN: return 11002;
    case EAI_FAIL: return 11003;
    case EAI_NODATA:
    case EAI_ADDRFAMILY: return 11004;
    case EAI_FAMILY: return 10047;
    case EAI_SOCKTYPE: return 10044;
    case EAI_SERVICE: return 10109;
    case EAI_MEMORY: return 10055;
    case EAI_BADFLAGS:
    case EAI_OVERFLOW: return 10022;
    case EAI_SYSTEM: return TranslateErrno(errno);
    default: return 11003;
  }
}

int TranslateHostError(int Error) {
  switch (Error) {
    case TRY_AGAIN: return 11002;
    case NO_RECOVERY: return 11003;
    case NO_DATA: return 11004;
    default: return 11001;
  }
}

// Records errno of the call just made; answers -1 so callers can return it.
int Failed() {
  LastError = TranslateErrno(errno);
  return -1;
}

int OsFamily(uint16_t Family) {
  switch (Family) {
    case VARSIN_AF_INET: return AF_INET;
    case VARSIN_AF_INET6: return AF_INET6;
    default: return AF_UNSPEC;
  }
}

socklen_t ToSockAddr(const TVarSin& Sin, sockaddr_storage& Storage) {
  std::memset(&Storage, 0, sizeof(Storage));
  if (Sin.Family == VARSIN_AF_INET) {
    auto& In = reinterpret_cast<sockaddr_in&>(Storage);
    In.sin_family = AF_INET;
    In.sin_port = htons(Sin.Port);
    std::memcpy(&In.sin_addr, Sin.Addr, 4);
    return sizeof(sockaddr_in);
  }
  if (Sin.Family == VARSIN_AF_INET6) {
    auto& In6 = reinterpret_cast<sockaddr_in6&>(Storage);
    In6.sin6_family = AF_INET6;
    In6.sin6_port = htons(Sin.Port);
    std::memcpy(&In6.sin6_addr, Sin.Addr, 16);
    In6.sin6_scope_id = Sin.ScopeId;
    return sizeof(sockaddr_in6);
  }
  // An address of no family: the call fails with "Invalid argument".
  return 0;
}

TVarSin FromSockAddr(const sockaddr* Addr) {
  TVarSin Sin;
  if (Addr->sa_family == AF_INET) {
    sockaddr_in In;
    std::memcpy(&In, Addr, sizeof(In));
    Sin.Family = VARSIN_AF_INET;
    Sin.Port = ntohs(In.sin_port);
    std::memcpy(Sin.Addr, &In.sin_addr, 4);
  } else if (Addr->sa_family == AF_INET6) {
    sockaddr_in6 In6;
    std::memcpy(&In6, Addr, sizeof(In6));
    Sin.Family = VARSIN_AF_INET6;
    Sin.Port = ntohs(In6.sin6_port);
    std::memcpy(Sin.Addr, &In6.sin6_addr, 16);
    Sin.ScopeId = In6.sin6_scope_id;
  }
  return Sin;
}

int Fd(TSocketHandle Handle) { return static_cast<int>(Handle); }

int WaitFor(TSocketHandle Handle, short Events, int Timeout) {
  // poll has no FD_SETSIZE ceiling, unlike select on this platform. A closed
  // handle must fail at once rather than wait out the time-out.
  if (Handle < 0) {
    LastError = 10038;
    return -1;
  }
  pollfd Poll{Fd(Handle), Events, 0};
  int Result;
  do {
    Result = poll(&Poll, 1, Timeout < 0 ? -1 : Timeout);
  } while (Result < 0 && errno == EINTR);
  if (Result < 0) return Failed();
  if (Result > 0 && (Poll.revents & POLLNVAL) != 0) {
    LastError = 10038;
    return -1;
  }
  return Result > 0 ? 1 : 0;
}

int NameOf(TSocketHandle Handle, TVarSin& Sin,
           int (*Query)(int, sockaddr*, socklen_t*)) {
  sockaddr_storage Storage{};
  socklen_t Length = sizeof(Storage);
  if (Query(Fd(Handle), reinterpret_cast<sockaddr*>(&Storage), &Length) != 0) return Failed();
  Sin = FromSockAddr(reinterpret_cast<const sockaddr*>(&Storage));
  return 0;
}

}  // namespace

// BSD sockets need no loading or start-up; getaddrinfo serves every family.
bool LoadLibraries(TResolverSupport& Support) {
  Support.AllFamilies = true;
  Support.IPv6Only = false;
  return true;
}

void FreeLibraries() {}
void Startup() {}
void Cleanup() {}

int LastSocketError() { return LastError; }

TSocketHandle Socket(uint16_t Family, int Type, int Protocol) {
  const int Handle = socket(OsFamily(Family), Type | SOCK_CLOEXEC, Protocol);
  if (Handle < 0) {
    Failed();
    return INVALID_SOCKET_HANDLE;
  }
  return Handle;
}

int Connect(TSocketHandle Handle, const TVarSin& Sin) {
  sockaddr_storage Storage;
  const socklen_t Length = ToSockAddr(Sin, Storage);
  if (connect(Fd(Handle), reinterpret_cast<const sockaddr*>(&Storage), Length) != 0) return Failed();
  return 0;
}

int Bind(TSocketHandle Handle, const TVarSin& Sin) {
  sockaddr_storage Storage;
  const socklen_t Length = ToSockAddr(Sin, Storage);
  if (bind(Fd(Handle), reinterpret_cast<const sockaddr*>(&Storage), Length) != 0) return Failed();
  return 0;
}

int Listen(TSocketHandle Handle, int Backlog) {
  if (listen(Fd(Handle), Backlog) != 0) return Failed();
  return 0;
}

TSocketHandle Accept(TSocketHandle Handle, TVarSin& Remote) {
  sockaddr_storage Storage{};
  socklen_t Length = sizeof(Storage);
  const int Accepted =
      accept4(Fd(Handle), reinterpret_cast<sockaddr*>(&Storage), &Length, SOCK_CLOEXEC);
  if (Accepted < 0) {
    Failed();
    return INVALID_SOCKET_HANDLE;
  }
  Remote = FromSockAddr(reinterpret_cast<const sockaddr*>(&Storage));
  return Accepted;
}

int Send(TSocketHandle Handle, const char* Data, int Length) {
  ssize_t Result;
  do {
    Result = send(Fd(Handle), Data, static_cast<size_t>(Length), MSG_NOSIGNAL);
  } while (Result < 0 && errno == EINTR);
  if (Result < 0) return Failed();
  return static_cast<int>(Result);
}

int Recv(TSocketHandle Handle, char* Data, int Length) {
  ssize_t Result;
  do {
    Result = recv(Fd(Handle), Data, static_cast<size_t>(Length), 0);
  } while (Result < 0 && errno == EINTR);
  if (Result < 0) return Failed();
  return static_cast<int>(Result);
}

int WaitReadable(TSocketHandle Handle, int Timeout) { return WaitFor(Handle, POLLIN, Timeout); }

int WaitWritable(TSocketHandle Handle, int Timeout) { return WaitFor(Handle, POLLOUT, Timeout); }

int BytesWaiting(TSocketHandle Handle, int& Count) {
  int Waiting = 0;
  if (ioctl(Fd(Handle), FIONREAD, &Waiting) != 0) return Failed();
  Count = Waiting;
  return 0;
}

int ShutdownSend(TSocketHandle Handle) {
  if (shutdown(Fd(Handle), SHUT_WR) != 0) return Failed();
  return 0;
}

int Close(TSocketHandle Handle) {
  if (close(Fd(Handle)) != 0) return Failed();
  return 0;
}

int GetSockName(TSocketHandle Handle, TVarSin& Sin) { return NameOf(Handle, Sin, &getsockname); }

int GetPeerName(TSocketHandle Handle, TVarSin& Sin) { return NameOf(Handle, Sin, &getpeername); }

int GetHostName(char* Name, int Length) {
  if (gethostname(Name, static_cast<size_t>(Length)) != 0) return Failed();
  return 0;
}

int GetFirstAddress(const char* Node, const char* Service, uint16_t Family, bool Passive,
                    TVarSin& Sin) {
  addrinfo Hints{};
  Hints.ai_flags = Passive ? AI_PASSIVE : 0;
  Hints.ai_family = OsFamily(Family);
  Hints.ai_socktype = SOCK_STREAM;
  Hints.ai_protocol = IPPROTO_TCP;
  addrinfo* List = nullptr;
  const TPosixResolverCalls& Calls = PosixResolverCalls();
  const int Result = Calls.GetAddrInfo(Node, Service, &Hints, &List);
  if (Result != 0) return TranslateResolverError(Result);
  const int Outcome = List != nullptr && List->ai_addr != nullptr ? 0 : 11004;
  if (Outcome == 0) Sin = FromSockAddr(List->ai_addr);
  if (List != nullptr) Calls.FreeAddrInfo(List);
  return Outcome;
}

bool GetServicePort(const char* Service, uint16_t& Port) {
  const protoent* Protocol = getprotobynumber(IPPROTO_TCP);
  const servent* Entry = getservbyname(Service, Protocol != nullptr ? Protocol->p_name : nullptr);
  if (Entry == nullptr) return false;
  Port = ntohs(static_cast<uint16_t>(Entry->s_port));
  return true;
}

bool InetAddr(const char* Host, uint8_t (&Addr)[4]) {
  in_addr Parsed{};
  if (inet_aton(Host, &Parsed) == 0) return false;
  std::memcpy(Addr, &Parsed, 4);
  return true;
}

int GetHostByName(const char* Host, uint8_t (&Addr)[4]) {
  const hostent* Entry = gethostbyname(Host);
  if (Entry == nullptr) return TranslateHostError(h_errno);
  if (Entry->h_addrtype != AF_INET || Entry->h_addr_list[0] == nullptr) return 11004;
  std::memcpy(Addr, Entry->h_addr_list[0], 4);
  return 0;
}

}  // namespace SocketApi
