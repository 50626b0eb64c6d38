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

#include "net/socketapi.h"

TPosixResolverCalls& PosixResolverCalls() {
  static TPosixResolverCalls Calls;
  return Calls;
}

namespace SocketApi {
namespace {

thread_local int LastError = 0;

// errno values by meaning into the Windows Sockets numbering, so callers and
// error texts are the same on every platform. Writing to a connection the
// peer has closed (EPIPE) is a reset in Windows Sockets terms.
struct TErrnoCode {
  int Errno;
  int Code;
};

constexpr TErrnoCode ErrnoCodes[] = {
    {EINTR, 10004},        {EBADF, 10009},           {EPERM, 10013},
    {EACCES, 10013},       {EFAULT, 10014},          {EINVAL, 10022},
    {ENFILE, 10024},       {EMFILE, 10024},          {EWOULDBLOCK, 10035},
    {EINPROGRESS, 10036},  {EALREADY, 10037},        {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046},    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},
    {ENETUNREACH, 10051},  {ENETRESET, 10052},       {ECONNABORTED, 10053},
    {ECONNRESET, 10054},   {EPIPE, 10054},           {ENOBUFS, 10055},
    {ENOMEM, 10055},       {EISCONN, 10056},         {ENOTCONN, 10057},
    {ESHUTDOWN, 10058},    {ETOOMANYREFS, 10059},    {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061}, {ELOOP, 10062},           {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065},    {ENOTEMPTY, 10066},
    {EUSERS, 10068},       {EDQUOT, 10069},          {ESTALE, 10070},
    {EREMOTE, 10071},
};

// A value with no counterpart stays as it is: still non-zero, and its text
// names the number.
int TranslateErrno(int Error) {
  for (const TErrnoCode& E : ErrnoCodes)
    if (E.Errno == Error) return E.Code;
  return Error;
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

int NameOf(TSocketHandle Handle, TVarSin& Sin, int (*Query)(int, sockaddr*, socklen_t*)) {
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
  if (connect(Fd(Handle), reinterpret_cast<const sockaddr*>(&Storage), Length) != 0)
    return Failed();
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
