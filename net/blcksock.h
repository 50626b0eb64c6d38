#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/memstream.h"

// Blocking TCP sockets with per-wait time-outs and line reading. Failures
// never raise: every operation leaves its outcome in LastError (Windows
// Sockets numbering, 0 = success) and its text in LastErrorDesc.
// Byte strings are std::string holding raw bytes; host and port texts are
// UTF-8 and go to the resolver in code page 1251.

using TSocketHandle = intptr_t;
inline constexpr TSocketHandle INVALID_SOCKET_HANDLE = -1;

enum class TSocketFamily { SF_Any, SF_IP4, SF_IP6 };

// Address families of TVarSin in the Windows Sockets numbering, the same on
// every platform; the OS layer converts them.
inline constexpr uint16_t VARSIN_AF_UNSPEC = 0;
inline constexpr uint16_t VARSIN_AF_INET = 2;
inline constexpr uint16_t VARSIN_AF_INET6 = 23;

// One socket address of either family, large enough for IPv6.
struct TVarSin {
  uint16_t Family = VARSIN_AF_UNSPEC;  // VARSIN_AF_INET, VARSIN_AF_INET6 or unspecified
  uint16_t Port = 0;                   // host byte order
  uint8_t Addr[16] = {};               // network byte order; 4 bytes used for IPv4
  uint32_t ScopeId = 0;
  bool IsIPv6() const;
};

// Windows Sockets error numbers used across the layer.
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAHOST_NOT_FOUND = 11001;

class TBlockSocket {
 public:
  TBlockSocket();
  virtual ~TBlockSocket();
  TBlockSocket(const TBlockSocket&) = delete;
  TBlockSocket& operator=(const TBlockSocket&) = delete;

  virtual void CloseSocket();
  virtual void AbortSocket();
  virtual void Connect(const std::string& IP, const std::string& Port);
  void Bind(const std::string& IP, const std::string& Port);
  virtual int SendBuffer(const void* Buffer, int Length);
  virtual void SendString(const std::string& Data);
  virtual void SendStreamRaw(TMemoryStream& Stream);
  virtual int RecvBuffer(void* Buffer, int Length);
  virtual std::string RecvString(int Timeout);
  virtual std::string RecvTerminated(int Timeout, const std::string& Terminator);
  virtual std::string RecvPacket(int Timeout);
  virtual void RecvStreamRaw(TMemoryStream& Stream, int Timeout);
  // RecvPacket straight into a stream: the next bytes in arrival order are
  // written at the stream's position, received into its storage without a
  // string in between. Returns how many were written; 0 with LastError set
  // when none came.
  int RecvPacketTo(TMemoryStream& Stream, int Timeout);
  virtual int WaitingData();
  virtual int SockCheck(int SockResult);
  virtual bool CanRead(int Timeout);
  virtual bool CanWrite(int Timeout);
  virtual int GetSocketType();
  virtual int GetSocketProtocol();
  virtual std::string GetErrorDescEx();

  // Waits 1 ms, then drops every received byte not yet read, without
  // waiting for more; clears LastError.
  void Purge();
  // Purge without the wait.
  void DropReceived();
  void ResetLastError();
  std::string LocalName();
  static std::string GetErrorDesc(int ErrorCode);

  TSocketHandle Socket() const { return FSocket; }
  // Takes over an OS socket connected elsewhere (one a listener accepted),
  // closing the current one without the orderly shutdown.
  void SetSocket(TSocketHandle Value);
  int LastError() const { return FLastError; }
  const std::string& LastErrorDesc() const { return FLastErrorDesc; }
  // Bytes taken from the OS and not yet handed to a caller.
  std::string_view LineBuffer() const { return std::string_view(FBuffer).substr(FBufferStart); }
  void SetLineBuffer(std::string_view Value);
  bool ConvertLineEnd() const { return FConvertLineEnd; }
  void SetConvertLineEnd(bool Value) { FConvertLineEnd = Value; }
  int MaxLineLength() const { return FMaxLineLength; }
  void SetMaxLineLength(int Value) { FMaxLineLength = Value; }
  bool InterPacketTimeout() const { return FInterPacketTimeout; }
  void SetInterPacketTimeout(bool Value) { FInterPacketTimeout = Value; }
  TSocketFamily Family() const { return FFamily; }
  void SetFamily(TSocketFamily Value);
  bool PreferIP4() const { return FPreferIP4; }
  void SetPreferIP4(bool Value) { FPreferIP4 = Value; }
  bool IP6used() const { return FIP6used; }
  int SendMaxChunk() const { return FSendMaxChunk; }
  void SetSendMaxChunk(int Value) { FSendMaxChunk = Value; }
  int NonblockSendTimeout() const { return FNonblockSendTimeout; }
  void SetNonblockSendTimeout(int Value) { FNonblockSendTimeout = Value; }
  const TVarSin& LocalSin() const { return FLocalSin; }
  const TVarSin& RemoteSin() const { return FRemoteSin; }

 protected:
  // Opens the OS socket for the address's family unless one is open.
  void CreateSocketFor(const TVarSin& Sin);
  void GetSins();
  void RefreshErrorDesc();
  // Any-line-end search: the first CR or LF, two bytes long for CR LF and
  // LF CR; a lone CR or LF is remembered so that its partner arriving in the
  // next packet is dropped.
  size_t FindLineEnd(std::string_view Data, size_t& EndLength);
  // Waits up to Timeout for received bytes and tells how many are ready, at
  // most one packet; 0 with LastError set when none came.
  int AwaitPacket(int Timeout);
  // Whether the first byte of fresh input is the partner of the lone CR or LF
  // that ended the last line, and so is dropped; forgets that line end.
  bool IsLineEndPartner(char First);
  void ClearLineBuffer();
  // Appends the next packet to the line buffer; false with LastError set
  // when none came.
  bool ReceiveIntoLineBuffer(int Timeout);

  TSocketHandle FSocket = INVALID_SOCKET_HANDLE;
  int FLastError = 0;
  std::string FLastErrorDesc;
  // The line buffer is FBuffer from FBufferStart on: returning a line moves
  // the start instead of moving the rest of the buffer.
  std::string FBuffer;
  size_t FBufferStart = 0;
  bool FConvertLineEnd = false;
  bool FLastCR = false;
  bool FLastLF = false;
  int FMaxLineLength = 0;
  bool FInterPacketTimeout = true;
  TSocketFamily FFamily = TSocketFamily::SF_Any;
  TSocketFamily FFamilySave = TSocketFamily::SF_Any;
  bool FPreferIP4 = true;
  bool FIP6used = false;
  int FSendMaxChunk = 65536;
  int FNonblockSendTimeout = 15000;
  TVarSin FLocalSin;
  TVarSin FRemoteSin;
};

// Holds the (always empty) proxy settings; its proxy connect path is never
// taken.
class TSocksBlockSocket : public TBlockSocket {
 public:
  const std::string& SocksIP() const { return FSocksIP; }

 protected:
  std::string FSocksIP;
  std::string FSocksPort = "1080";
  std::string FSocksUsername;
  std::string FSocksPassword;
};

class TTCPBlockSocket : public TSocksBlockSocket {
 public:
  ~TTCPBlockSocket() override;
  void CloseSocket() override;
  int GetSocketType() override;
  int GetSocketProtocol() override;
};

// Process-wide socket library: started once at program start, stopped at
// program end. On Linux start-up only marks the modern resolver available.
// A failed load ends start-up with SocketLibraryLoadErrorText, error code 0.
bool LoadSocketLibrary();
void FreeSocketLibrary();
inline constexpr const char* SocketLibraryLoadErrorText =
    "Error loading Socket interface (ws2_32.dll)!";

// Which resolver the loaded library offers: getaddrinfo for every family, for
// IPv6 only, or (neither) the legacy IPv4-only calls. Both are false while
// the library is not loaded. Tests switch the modern resolver off to reach
// the legacy path, which Linux never takes on its own.
struct TResolverAvailability {
  bool AllFamilies = false;
  bool IPv6Only = false;
};
TResolverAvailability ResolverAvailability();
void SetResolverAvailability(TResolverAvailability Value);

bool IsIPv4Text(const std::string& Value);
bool IsIPv6Text(const std::string& Value);

// Resolves a host and port text into one address; returns 0 or the
// resolver's error number (11001 for an unknown host).
int ResolveAddress(const std::string& IP, const std::string& Port, TSocketFamily Family,
                   bool PreferIP4, bool SocketOpen, TVarSin& Sin);
