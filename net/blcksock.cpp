#include "net/blcksock.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "net/socketapi.h"
#include "platform/ansicodepage.h"

namespace {

// The socket library lock guards the load count and every call of the
// legacy resolver, whose calls share static buffers.
std::mutex LibraryLock;
int LoadCount = 0;
std::atomic<bool> ModernResolverAll{false};
std::atomic<bool> ModernResolverIPv6{false};

struct TErrorText {
  int Code;
  const char* Text;
};

constexpr TErrorText ErrorTexts[] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on nonsocket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol wrong type for Socket"},
    {10042, "Protocol not available"},
    {10043, "Protocol not supported"},
    {10044, "Socket not supported"},
    {10045, "Operation not supported on Socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection on reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No Buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after Socket shutdown"},
    {10059, "Too many references:can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name is too long"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10066, "Directory is not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disk quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unusable"},
    {10092, "Winsock DLL cannot support this application"},
    {10093, "Winsock not initialized"},
    {10101, "Disconnect"},
    {11001, "Host not found"},
    {11002, "Non authoritative - host not found"},
    {11003, "Non recoverable error"},
    {11004, "Valid name, no data record of requested type"},
};

using Clock = std::chrono::steady_clock;

constexpr int MaxPacketSize = 65536;
const std::string CRLF = "\r\n";

// Pauses the thread for at least Span. A sleep alone ends late by the
// timer's slack and the wake-up, tens of microseconds that a session
// pausing before every command pays on each one; so the sleep stops short
// and the rest of the span is spent giving up the time slice.
void PauseFor(std::chrono::microseconds Span) {
  constexpr std::chrono::microseconds WakeUpMargin(100);
  const auto Deadline = Clock::now() + Span;
  std::this_thread::sleep_until(Deadline - WakeUpMargin);
  while (Clock::now() < Deadline) std::this_thread::yield();
}

std::string Trimmed(std::string_view Text) {
  const auto IsBlank = [](char C) { return static_cast<unsigned char>(C) <= ' '; };
  while (!Text.empty() && IsBlank(Text.front())) Text.remove_prefix(1);
  while (!Text.empty() && IsBlank(Text.back())) Text.remove_suffix(1);
  return std::string(Text);
}

// Cuts the text at the first separator: returns the part before it and
// leaves the rest (all of the text when there is no separator).
std::string_view CutAt(std::string_view& Text, char Separator) {
  const size_t At = Text.find(Separator);
  const std::string_view Part = Text.substr(0, At);
  Text = At == std::string_view::npos ? std::string_view() : Text.substr(At + 1);
  return Part;
}

bool IsByteText(const std::string& Text) {
  if (Text.empty() || Text.find_first_not_of("0123456789") != std::string::npos) return false;
  unsigned Value = 0;
  for (char C : Text) {
    Value = Value * 10 + static_cast<unsigned>(C - '0');
    if (Value > 255) return false;
  }
  return true;
}

bool IsHexWord(std::string_view Text) {
  if (Text.empty() || Text.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos)
    return false;
  unsigned Value = 0;
  for (char C : Text) {
    const unsigned Digit =
        C <= '9' ? static_cast<unsigned>(C - '0') : static_cast<unsigned>((C | 0x20) - 'a' + 10);
    Value = Value * 16 + Digit;
    if (Value > 0xFFFF) return false;
  }
  return true;
}

// The last piece of an IPv6 text may carry a zone after "%".
bool IsLastIPv6Piece(std::string_view Piece) {
  const size_t Percent = Piece.find('%');
  if (Percent == std::string_view::npos) return IsHexWord(Piece);
  return IsHexWord(Piece.substr(0, Percent)) && IsHexWord(Piece.substr(Percent + 1));
}

uint16_t FamilyOf(TSocketFamily Family) {
  switch (Family) {
    case TSocketFamily::SF_IP4: return VARSIN_AF_INET;
    case TSocketFamily::SF_IP6: return VARSIN_AF_INET6;
    case TSocketFamily::SF_Any: break;
  }
  return VARSIN_AF_UNSPEC;
}

// One getaddrinfo pass. The any-address and the loopback address texts are
// not looked up: the resolver gives them for the pass's family.
int ResolvePass(const std::string& Host, const std::string& Service, uint16_t Family,
                TVarSin& Sin) {
  if (Host == "0.0.0.0" || Host == "::0")
    return SocketApi::GetFirstAddress(nullptr, Service.c_str(), Family, true, Sin);
  if (Host == "127.0.0.1" || Host == "::1")
    return SocketApi::GetFirstAddress(nullptr, Service.c_str(), Family, false, Sin);
  return SocketApi::GetFirstAddress(Host.c_str(), Service.c_str(), Family, false, Sin);
}

uint16_t DecimalPort(const std::string& Service) {
  int32_t Value = 0;
  const auto [End, Error] = std::from_chars(Service.data(), Service.data() + Service.size(), Value);
  if (Error != std::errc() || End != Service.data() + Service.size()) return 0;
  return static_cast<uint16_t>(Value);
}

// IPv4 only, for a library without getaddrinfo.
int ResolveLegacy(const std::string& Host, const std::string& Service, TVarSin& Sin) {
  const std::lock_guard Lock(LibraryLock);
  Sin.Family = VARSIN_AF_INET;
  if (!SocketApi::GetServicePort(Service.c_str(), Sin.Port)) Sin.Port = DecimalPort(Service);
  uint8_t Addr[4] = {};
  int Outcome = 0;
  if (Host == "255.255.255.255")
    std::fill(std::begin(Addr), std::end(Addr), uint8_t{0xFF});
  else if (!SocketApi::InetAddr(Host.c_str(), Addr))
    Outcome = SocketApi::GetHostByName(Host.c_str(), Addr);
  std::copy(std::begin(Addr), std::end(Addr), Sin.Addr);
  return Outcome;
}

}  // namespace

bool TVarSin::IsIPv6() const { return Family == VARSIN_AF_INET6; }

bool LoadSocketLibrary() {
  bool Loaded = true;
  {
    const std::lock_guard Lock(LibraryLock);
    if (LoadCount == 0) {
      ModernResolverAll = false;
      ModernResolverIPv6 = false;
      SocketApi::TResolverSupport Support;
      Loaded = SocketApi::LoadLibraries(Support);
      ModernResolverAll = Support.AllFamilies;
      ModernResolverIPv6 = Support.IPv6Only;
    }
    if (Loaded) ++LoadCount;
  }
  if (Loaded) SocketApi::Startup();
  return Loaded;
}

void FreeSocketLibrary() {
  SocketApi::Cleanup();
  const std::lock_guard Lock(LibraryLock);
  if (LoadCount > 0 && --LoadCount == 0) {
    SocketApi::FreeLibraries();
    ModernResolverAll = false;
    ModernResolverIPv6 = false;
  }
}

TResolverAvailability ResolverAvailability() {
  return {ModernResolverAll.load(), ModernResolverIPv6.load()};
}

void SetResolverAvailability(TResolverAvailability Value) {
  const std::lock_guard Lock(LibraryLock);
  ModernResolverAll = Value.AllFamilies;
  ModernResolverIPv6 = Value.IPv6Only;
}

bool IsIPv4Text(const std::string& Value) {
  std::string_view Rest = Value;
  for (int Part = 0; Part < 3; ++Part)
    if (!IsByteText(Trimmed(CutAt(Rest, '.')))) return false;
  return IsByteText(Trimmed(Rest));
}

bool IsIPv6Text(const std::string& Value) {
  if (Value == "::") return true;
  std::string_view Rest = Value;
  int Pieces = 0;
  bool Gap = false;
  bool LastValid = false;
  while (true) {
    const bool Last = Rest.find(':') == std::string_view::npos;
    const std::string Piece = Trimmed(CutAt(Rest, ':'));
    ++Pieces;
    if (Piece.empty()) {
      if (Pieces > 1) {
        if (Gap) return false;
        Gap = true;
      }
      LastValid = false;
    } else {
      if (Pieces >= 9) return false;
      LastValid = Last ? IsLastIPv6Piece(Piece) : IsHexWord(Piece);
      if (!LastValid) return false;
    }
    if (Last) break;
  }
  return LastValid && (Pieces > 1 || Gap);
}

int ResolveAddress(const std::string& IP, const std::string& Port, TSocketFamily Family,
                   bool PreferIP4, bool SocketOpen, TVarSin& Sin) {
  uint16_t AddressFamily = FamilyOf(Family);
  if (!SocketOpen && Family == TSocketFamily::SF_Any) {
    if (IsIPv4Text(IP))
      AddressFamily = VARSIN_AF_INET;
    else if (IsIPv6Text(IP))
      AddressFamily = VARSIN_AF_INET6;
  }
  Sin = TVarSin{};
  const std::string Host = Utf8ToAnsi(IP);
  const std::string Service = Utf8ToAnsi(Port);

  const bool Modern = ModernResolverAll || (ModernResolverIPv6 && AddressFamily == VARSIN_AF_INET6);
  if (!Modern) return ResolveLegacy(Host, Service, Sin);
  if (AddressFamily != VARSIN_AF_UNSPEC) return ResolvePass(Host, Service, AddressFamily, Sin);

  const uint16_t First = PreferIP4 ? VARSIN_AF_INET : VARSIN_AF_INET6;
  const uint16_t Second = PreferIP4 ? VARSIN_AF_INET6 : VARSIN_AF_INET;
  int Outcome = ResolvePass(Host, Service, First, Sin);
  if (Outcome != 0) {
    TVarSin Other;
    Outcome = ResolvePass(Host, Service, Second, Other);
    if (Outcome == 0) Sin = Other;
  }
  return Outcome;
}

TBlockSocket::TBlockSocket() = default;

TBlockSocket::~TBlockSocket() { CloseSocket(); }

void TBlockSocket::SetFamily(TSocketFamily Value) {
  FFamily = Value;
  FFamilySave = Value;
}

void TBlockSocket::SetSocket(TSocketHandle Value) {
  AbortSocket();
  ResetLastError();
  FSocket = Value;
  ClearLineBuffer();
  FLastCR = false;
  FLastLF = false;
  GetSins();
  FIP6used = FLocalSin.IsIPv6();
}

void TBlockSocket::ResetLastError() {
  FLastError = 0;
  FLastErrorDesc.clear();
}

void TBlockSocket::RefreshErrorDesc() { FLastErrorDesc = GetErrorDescEx(); }

int TBlockSocket::SockCheck(int SockResult) {
  ResetLastError();
  if (SockResult == -1) {
    FLastError = SocketApi::LastSocketError();
    FLastErrorDesc = GetErrorDescEx();
  }
  return FLastError;
}

std::string TBlockSocket::GetErrorDesc(int ErrorCode) {
  if (ErrorCode == 0) return {};
  const auto Found = std::find_if(std::begin(ErrorTexts), std::end(ErrorTexts),
                                  [ErrorCode](const TErrorText& E) { return E.Code == ErrorCode; });
  if (Found != std::end(ErrorTexts)) return Found->Text;
  return "Other Winsock error (" + std::to_string(ErrorCode) + ")";
}

std::string TBlockSocket::GetErrorDescEx() { return GetErrorDesc(FLastError); }

int TBlockSocket::GetSocketType() { return 0; }

int TBlockSocket::GetSocketProtocol() { return 0; }

void TBlockSocket::CreateSocketFor(const TVarSin& Sin) {
  ResetLastError();
  if (FSocket != INVALID_SOCKET_HANDLE) return;
  ClearLineBuffer();
  FIP6used = Sin.IsIPv6();
  FSocket = SocketApi::Socket(Sin.Family, GetSocketType(), GetSocketProtocol());
  if (FSocket == INVALID_SOCKET_HANDLE) FLastError = SocketApi::LastSocketError();
  RefreshErrorDesc();
}

void TBlockSocket::GetSins() {
  SocketApi::GetSockName(FSocket, FLocalSin);
  SocketApi::GetPeerName(FSocket, FRemoteSin);
}

void TBlockSocket::Connect(const std::string& IP, const std::string& Port) {
  TVarSin Sin;
  FLastError = ResolveAddress(IP, Port, FFamily, FPreferIP4, FSocket != INVALID_SOCKET_HANDLE, Sin);
  if (FLastError == 0) {
    CreateSocketFor(Sin);
    SockCheck(SocketApi::Connect(FSocket, Sin));
    if (FLastError == 0) GetSins();
    ClearLineBuffer();
    FLastCR = false;
    FLastLF = false;
  }
  RefreshErrorDesc();
}

void TBlockSocket::Bind(const std::string& IP, const std::string& Port) {
  ResetLastError();
  // The FTP client binds every connection this way: the OS picks address
  // and port when Connect creates the socket.
  if (FSocket == INVALID_SOCKET_HANDLE && FFamily == TSocketFamily::SF_Any && IP == "0.0.0.0" &&
      Port == "0")
    return;
  TVarSin Sin;
  FLastError = ResolveAddress(IP, Port, FFamily, FPreferIP4, FSocket != INVALID_SOCKET_HANDLE, Sin);
  if (FLastError == 0) {
    CreateSocketFor(Sin);
    SockCheck(SocketApi::Bind(FSocket, Sin));
    SocketApi::GetSockName(FSocket, FLocalSin);
    ClearLineBuffer();
  }
  RefreshErrorDesc();
}

int TBlockSocket::SendBuffer(const void* Buffer, int Length) {
  if (Length <= 0) return 0;
  const char* Data = static_cast<const char*>(Buffer);
  int Sent = 0;
  while (Sent < Length) {
    const int Piece = FSendMaxChunk > 0 ? std::min(Length - Sent, FSendMaxChunk) : Length - Sent;
    int Result = SocketApi::Send(FSocket, Data + Sent, Piece);
    SockCheck(Result);
    if (FLastError == WSAEWOULDBLOCK) {
      if (CanWrite(FNonblockSendTimeout)) {
        Result = SocketApi::Send(FSocket, Data + Sent, Piece);
        SockCheck(Result);
      } else {
        FLastError = WSAETIMEDOUT;
      }
    }
    if (FLastError != 0) break;
    Sent += Result;
  }
  RefreshErrorDesc();
  return Sent;
}

void TBlockSocket::SendString(const std::string& Data) {
  SendBuffer(Data.data(), static_cast<int>(Data.size()));
}

void TBlockSocket::SendStreamRaw(TMemoryStream& Stream) {
  // Each block goes out straight from the stream's storage.
  while (true) {
    const std::string_view Block = Stream.Read(static_cast<size_t>(std::max(FSendMaxChunk, 1)));
    if (Block.empty()) break;
    SendBuffer(Block.data(), static_cast<int>(Block.size()));
    if (FLastError != 0) break;
  }
}

int TBlockSocket::RecvBuffer(void* Buffer, int Length) {
  const int Result = SocketApi::Recv(FSocket, static_cast<char*>(Buffer), Length);
  if (Result == 0)
    FLastError = WSAECONNRESET;
  else
    SockCheck(Result);
  RefreshErrorDesc();
  return Result;
}

bool TBlockSocket::CanRead(int Timeout) {
  int Result = SocketApi::WaitReadable(FSocket, Timeout);
  bool Readable = SockCheck(Result) == 0 && Result > 0;
  // A second look without waiting: data may have come in just as the wait
  // ran out.
  if (!Readable) {
    Result = SocketApi::WaitReadable(FSocket, 0);
    Readable = SockCheck(Result) == 0 && Result > 0;
  }
  RefreshErrorDesc();
  return Readable;
}

bool TBlockSocket::CanWrite(int Timeout) {
  const int Result = SocketApi::WaitWritable(FSocket, Timeout);
  const bool Writable = SockCheck(Result) == 0 && Result > 0;
  RefreshErrorDesc();
  return Writable;
}

int TBlockSocket::WaitingData() {
  int Count = 0;
  if (SocketApi::BytesWaiting(FSocket, Count) != 0) return 0;
  return std::min(Count, MaxPacketSize);
}

void TBlockSocket::SetLineBuffer(std::string_view Value) {
  FBuffer.assign(Value);
  FBufferStart = 0;
}

void TBlockSocket::ClearLineBuffer() {
  FBuffer.clear();
  FBufferStart = 0;
}

int TBlockSocket::AwaitPacket(int Timeout) {
  // Giving up the time slice first keeps a long download from spinning.
  std::this_thread::yield();
  const int Waiting = WaitingData();
  if (Waiting > 0) return Waiting;
  if (!CanRead(Timeout)) {
    FLastError = WSAETIMEDOUT;
    return 0;
  }
  const int Arrived = WaitingData();
  // Readable with nothing to read: the peer closed.
  if (Arrived == 0) FLastError = WSAECONNRESET;
  return Arrived;
}

bool TBlockSocket::IsLineEndPartner(char First) {
  if (!FConvertLineEnd) return false;
  const bool Partner = (FLastCR && First == '\n') || (FLastLF && First == '\r');
  FLastCR = false;
  FLastLF = false;
  return Partner;
}

std::string TBlockSocket::RecvPacket(int Timeout) {
  ResetLastError();
  std::string Result;
  if (!LineBuffer().empty()) {
    Result = LineBuffer();
    ClearLineBuffer();
  } else if (const int Count = AwaitPacket(Timeout); Count > 0) {
    Result.resize(static_cast<size_t>(Count));
    const int Received = RecvBuffer(Result.data(), Count);
    Result.resize(Received > 0 ? static_cast<size_t>(Received) : 0);
  }
  if (!Result.empty() && IsLineEndPartner(Result.front())) Result.erase(0, 1);
  RefreshErrorDesc();
  return Result;
}

int TBlockSocket::RecvPacketTo(TMemoryStream& Stream, int Timeout) {
  // Buffered bytes, or a line-end partner that may have to be dropped, take
  // the way through a string: a received byte dropped in place would leave
  // its trace in bytes of the stream past what is written.
  if (!LineBuffer().empty() || (FConvertLineEnd && (FLastCR || FLastLF))) {
    const std::string Packet = RecvPacket(Timeout);
    Stream.Write(Packet);
    return static_cast<int>(Packet.size());
  }
  ResetLastError();
  int Written = 0;
  if (const int Count = AwaitPacket(Timeout); Count > 0) {
    const int Received = RecvBuffer(Stream.WriteRoom(static_cast<size_t>(Count)), Count);
    if (Received > 0) {
      Stream.CommitWrite(static_cast<size_t>(Received));
      Written = Received;
    }
  }
  RefreshErrorDesc();
  return Written;
}

bool TBlockSocket::ReceiveIntoLineBuffer(int Timeout) {
  const int Count = AwaitPacket(Timeout);
  if (Count <= 0) return false;
  const size_t Old = FBuffer.size();
  FBuffer.resize(Old + static_cast<size_t>(Count));
  const int Received = RecvBuffer(FBuffer.data() + Old, Count);
  FBuffer.resize(Old + (Received > 0 ? static_cast<size_t>(Received) : 0));
  if (Received <= 0) return false;
  if (IsLineEndPartner(FBuffer[Old])) FBuffer.erase(Old, 1);
  return true;
}

size_t TBlockSocket::FindLineEnd(std::string_view Data, size_t& EndLength) {
  const size_t At = Data.find_first_of(CRLF);
  if (At == std::string_view::npos) return std::string::npos;
  const char Next = At + 1 < Data.size() ? Data[At + 1] : '\0';
  if ((Data[At] == '\r' && Next == '\n') || (Data[At] == '\n' && Next == '\r')) {
    EndLength = 2;
  } else {
    EndLength = 1;
    FLastCR = Data[At] == '\r';
    FLastLF = Data[At] == '\n';
  }
  return At;
}

std::string TBlockSocket::RecvTerminated(int Timeout, const std::string& Terminator) {
  ResetLastError();
  std::string Result;
  if (Terminator.empty()) return Result;
  const bool AnyLineEnd = FConvertLineEnd && Terminator == CRLF;
  // Without the per-wait time-out one deadline bounds the whole call, however
  // short each of its waits is.
  const auto Deadline = Clock::now() + std::chrono::milliseconds(std::max(Timeout, 0));
  const auto WaitLimit = [&]() {
    if (FInterPacketTimeout) return Timeout;
    const auto Left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - Clock::now());
    return static_cast<int>(std::max<int64_t>(Left.count(), 0));
  };
  // Packets are appended to the line buffer itself. The search for the line
  // end goes on where the last one stopped, and bytes already returned leave
  // the front only when more must be received, so a long line or a packet
  // of many lines is handled in time linear in its bytes.
  size_t ScanFrom = FBufferStart;
  size_t LineEnd = std::string::npos;
  size_t EndLength = Terminator.size();
  // Bytes already buffered count as the first packet.
  bool Buffered = !LineBuffer().empty();
  if (Buffered && IsLineEndPartner(FBuffer[FBufferStart])) {
    ScanFrom = ++FBufferStart;
    Buffered = !LineBuffer().empty();
  }
  while (true) {
    if (!Buffered) {
      ScanFrom -= FBufferStart;
      FBuffer.erase(0, FBufferStart);
      FBufferStart = 0;
      if (!ReceiveIntoLineBuffer(WaitLimit())) break;
    }
    Buffered = false;
    if (ScanFrom < FBuffer.size()) {
      const std::string_view Fresh = std::string_view(FBuffer).substr(ScanFrom);
      const size_t At = AnyLineEnd ? FindLineEnd(Fresh, EndLength) : Fresh.find(Terminator);
      if (At != std::string_view::npos) LineEnd = ScanFrom + At;
      // A terminator of several bytes may begin in what was searched.
      ScanFrom = AnyLineEnd ? FBuffer.size()
                            : FBuffer.size() -
                                  std::min(FBuffer.size() - FBufferStart, Terminator.size() - 1);
    }
    if (FMaxLineLength != 0 && LineBuffer().size() > static_cast<size_t>(FMaxLineLength)) {
      FLastError = WSAENOBUFS;
      LineEnd = std::string::npos;
      break;
    }
    if (LineEnd != std::string::npos) break;
    if (!FInterPacketTimeout && Clock::now() >= Deadline) {
      FLastError = WSAETIMEDOUT;
      break;
    }
  }
  // Whatever came in and was not returned waits for the next read, also
  // after an error or a time-out.
  if (LineEnd != std::string::npos) {
    Result.assign(FBuffer, FBufferStart, LineEnd - FBufferStart);
    FBufferStart = LineEnd + EndLength;
    if (FBufferStart == FBuffer.size()) ClearLineBuffer();
  }
  RefreshErrorDesc();
  return Result;
}

std::string TBlockSocket::RecvString(int Timeout) {
  std::string Line = RecvTerminated(Timeout, CRLF);
  if (FLastError != 0) Line.clear();
  return Line;
}

void TBlockSocket::RecvStreamRaw(TMemoryStream& Stream, int Timeout) {
  do {
    RecvPacketTo(Stream, Timeout);
  } while (FLastError == 0);
}

void TBlockSocket::Purge() {
  // A late reply on its way gets a moment to arrive and go with the rest.
  PauseFor(std::chrono::milliseconds(1));
  DropReceived();
}

void TBlockSocket::DropReceived() {
  try {
    while (!LineBuffer().empty() || WaitingData() > 0) {
      RecvPacket(0);
      if (FLastError != 0) break;
    }
  } catch (const std::bad_alloc&) {
    // Dropping input must not fail: what could not be taken is left behind.
  }
  ResetLastError();
}

void TBlockSocket::CloseSocket() { AbortSocket(); }

void TBlockSocket::AbortSocket() {
  if (FSocket != INVALID_SOCKET_HANDLE) SocketApi::Close(FSocket);
  FSocket = INVALID_SOCKET_HANDLE;
  FFamily = FFamilySave;
}

std::string TBlockSocket::LocalName() {
  char Name[255] = {};
  if (SocketApi::GetHostName(Name, sizeof(Name) - 1) != 0) return "127.0.0.1";
  std::string Text(Name);
  return Text.empty() ? "127.0.0.1" : Text;
}

TTCPBlockSocket::~TTCPBlockSocket() { CloseSocket(); }

void TTCPBlockSocket::CloseSocket() {
  // Shutting down the sending side first lets the peer see an orderly end.
  if (FSocket != INVALID_SOCKET_HANDLE && FLastError == 0) {
    SocketApi::ShutdownSend(FSocket);
    // What arrived is dropped at once: closing waits for nothing more, so
    // that the end of every upload does not cost a pause.
    DropReceived();
  }
  AbortSocket();
}

int TTCPBlockSocket::GetSocketType() { return SocketApi::SOCK_STREAM_TYPE; }

int TTCPBlockSocket::GetSocketProtocol() { return SocketApi::IPPROTO_TCP_PROTOCOL; }
