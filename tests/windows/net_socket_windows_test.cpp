#include <gtest/gtest.h>

#include <string>

#include "net/blcksock.h"
#include "net/socketapi.h"
// After the socket headers: the Windows headers define macros of the same
// names as their error constants.
#include "net/socketapi_windows.h"

// How the Windows socket layer binds Windows Sockets at run time. This
// program loads and frees the library itself, case by case; its peers are
// made through the binding under test, so that nothing here imports
// ws2_32.dll at link time.

namespace {

constexpr int kTimeout = 2000;

// Whether the process had Windows Sockets loaded before any test ran.
const bool SocketsLoadedAtStart = GetModuleHandleW(L"ws2_32.dll") != nullptr;

// Wine cannot bring Windows Sockets back once a process has unloaded it:
// sockets made after the reload are refused as "not a socket". One reference
// held for the whole program keeps the library in memory between cases; the
// program itself loads it once.
const HMODULE SocketsHeld = LoadLibraryW(WindowsSocketLibraries().Sockets.c_str());

std::wstring ProgramFolderFile(const wchar_t* Name) {
  wchar_t Path[MAX_PATH] = {};
  const DWORD Length = GetModuleFileNameW(nullptr, Path, MAX_PATH);
  std::wstring Folder(Path, Length);
  return Folder.substr(0, Folder.find_last_of(L"\\/") + 1) + Name;
}

// Points the binding at the given libraries for one test and back at the
// system's afterwards.
class BoundLibraries {
 public:
  BoundLibraries(std::wstring Sockets, std::wstring IPv6Support)
      : FSaved(WindowsSocketLibraries()) {
    WindowsSocketLibraries() = {std::move(Sockets), std::move(IPv6Support)};
  }
  ~BoundLibraries() { WindowsSocketLibraries() = FSaved; }
  BoundLibraries(const BoundLibraries&) = delete;
  BoundLibraries& operator=(const BoundLibraries&) = delete;

 private:
  TWindowsSocketLibraries FSaved;
};

// A listening socket on a loopback address, made through the bound library.
class BoundListener {
 public:
  explicit BoundListener(bool IPv6) {
    TVarSin Sin;
    Sin.Family = IPv6 ? VARSIN_AF_INET6 : VARSIN_AF_INET;
    if (IPv6) {
      Sin.Addr[15] = 1;
    } else {
      Sin.Addr[0] = 127;
      Sin.Addr[3] = 1;
    }
    FHandle =
        SocketApi::Socket(Sin.Family, SocketApi::SOCK_STREAM_TYPE, SocketApi::IPPROTO_TCP_PROTOCOL);
    TVarSin Bound;
    if (FHandle == INVALID_SOCKET_HANDLE || SocketApi::Bind(FHandle, Sin) != 0 ||
        SocketApi::Listen(FHandle, 4) != 0 || SocketApi::GetSockName(FHandle, Bound) != 0)
      return;
    FPort = std::to_string(Bound.Port);
  }
  ~BoundListener() {
    if (FAccepted != INVALID_SOCKET_HANDLE) SocketApi::Close(FAccepted);
    if (FHandle != INVALID_SOCKET_HANDLE) SocketApi::Close(FHandle);
  }
  BoundListener(const BoundListener&) = delete;
  BoundListener& operator=(const BoundListener&) = delete;

  const std::string& Port() const { return FPort; }

  // Takes the connection a client made and sends it one line.
  bool AcceptAndGreet(const std::string& Line) {
    if (SocketApi::WaitReadable(FHandle, kTimeout) != 1) return false;
    TVarSin Remote;
    FAccepted = SocketApi::Accept(FHandle, Remote);
    const std::string Text = Line + "\r\n";
    return FAccepted != INVALID_SOCKET_HANDLE &&
           SocketApi::Send(FAccepted, Text.data(), static_cast<int>(Text.size())) ==
               static_cast<int>(Text.size());
  }

 private:
  TSocketHandle FHandle = INVALID_SOCKET_HANDLE;
  TSocketHandle FAccepted = INVALID_SOCKET_HANDLE;
  std::string FPort;
};

// Connects to a fresh listener on the loopback address of one family, by its
// address text or by a host name, and reads the greeting.
void ExpectConversation(bool IPv6, const std::string& Host) {
  SCOPED_TRACE(Host);
  BoundListener Listener(IPv6);
  ASSERT_FALSE(Listener.Port().empty()) << "listener: " << SocketApi::LastSocketError();
  TTCPBlockSocket Sock;
  Sock.Connect(Host, Listener.Port());
  ASSERT_EQ(Sock.LastError(), 0) << Sock.LastErrorDesc();
  EXPECT_EQ(Sock.IP6used(), IPv6);
  ASSERT_TRUE(Listener.AcceptAndGreet("220 bound"));
  EXPECT_EQ(Sock.RecvString(kTimeout), "220 bound");
}

}  // namespace

TEST(WinsockBinding, NotImportedButBoundAtRunTime) {
  EXPECT_FALSE(SocketsLoadedAtStart);
  ASSERT_NE(SocketsHeld, nullptr);
  ASSERT_TRUE(LoadSocketLibrary());
  EXPECT_TRUE(ResolverAvailability().AllFamilies);
  EXPECT_FALSE(ResolverAvailability().IPv6Only);
  ExpectConversation(false, "127.0.0.1");
  ExpectConversation(true, "::1");
  ExpectConversation(false, "localhost");
  FreeSocketLibrary();
  EXPECT_FALSE(ResolverAvailability().AllFamilies);
}

TEST(WinsockBinding, LibrariesComeFromTheSystemFolder) {
  wchar_t System[MAX_PATH] = {};
  const UINT Length = GetSystemDirectoryW(System, MAX_PATH);
  ASSERT_GT(Length, 0u);
  const std::wstring Folder = std::wstring(System, Length) + L"\\";
  EXPECT_EQ(WindowsSocketLibraries().Sockets, Folder + L"ws2_32.dll");
  EXPECT_EQ(WindowsSocketLibraries().IPv6Support, Folder + L"wship6.dll");
}

// Which resolver each combination of libraries leaves, and that connections
// work through it.
TEST(WinsockBinding, ResolverSourceFollowsWhatTheLibrariesOffer) {
  const std::wstring Missing = ProgramFolderFile(L"no_such_library.dll");
  const struct {
    const char* Name;
    std::wstring Sockets;
    std::wstring IPv6Support;
    bool AllFamilies;
    bool IPv6Only;
  } Cases[] = {
      {"getaddrinfo in Windows Sockets", WindowsSocketLibraries().Sockets, Missing, true, false},
      {"getaddrinfo only in the IPv6 helper", ProgramFolderFile(L"ws2_noresolver.dll"),
       ProgramFolderFile(L"wship6_full.dll"), false, true},
      {"an IPv6 helper with part of the resolver", ProgramFolderFile(L"ws2_noresolver.dll"),
       ProgramFolderFile(L"wship6_partial.dll"), false, false},
      {"no IPv6 helper", ProgramFolderFile(L"ws2_noresolver.dll"), Missing, false, false},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    const BoundLibraries Libraries(C.Sockets, C.IPv6Support);
    ASSERT_TRUE(LoadSocketLibrary());
    EXPECT_EQ(ResolverAvailability().AllFamilies, C.AllFamilies);
    EXPECT_EQ(ResolverAvailability().IPv6Only, C.IPv6Only);
    // IPv4 goes through getaddrinfo or through the legacy calls; IPv6 needs
    // getaddrinfo.
    ExpectConversation(false, "127.0.0.1");
    ExpectConversation(false, "localhost");
    if (C.AllFamilies || C.IPv6Only) ExpectConversation(true, "::1");
    FreeSocketLibrary();
  }
}

TEST(WinsockBinding, ALibraryThatCannotBeLoadedFailsTheStart) {
  const BoundLibraries Libraries(ProgramFolderFile(L"no_such_library.dll"),
                                 ProgramFolderFile(L"wship6_full.dll"));
  EXPECT_FALSE(LoadSocketLibrary());
  EXPECT_FALSE(ResolverAvailability().AllFamilies);
  EXPECT_FALSE(ResolverAvailability().IPv6Only);
  FreeSocketLibrary();
}

// A library that lacks entry points must not crash the program: every call
// that needs one fails with "Network subsystem is unusable".
TEST(WinsockBinding, MissingEntryPointsFailTheirCalls) {
  const BoundLibraries Libraries(ProgramFolderFile(L"ws2_empty.dll"),
                                 ProgramFolderFile(L"no_such_library.dll"));
  ASSERT_TRUE(LoadSocketLibrary());
  EXPECT_FALSE(ResolverAvailability().AllFamilies);
  EXPECT_FALSE(ResolverAvailability().IPv6Only);

  TTCPBlockSocket Sock;
  for (const char* Host : {"127.0.0.1", "localhost"}) {
    Sock.Connect(Host, "21");
    EXPECT_EQ(Sock.LastError(), WSASYSNOTREADY) << Host;
    EXPECT_EQ(Sock.LastErrorDesc(), "Network subsystem is unusable");
    EXPECT_EQ(Sock.Socket(), INVALID_SOCKET_HANDLE);
  }
  EXPECT_EQ(Sock.LocalName(), "127.0.0.1");

  // The modern resolver forced on without its calls fails the same way.
  SetResolverAvailability({true, false});
  TVarSin Sin;
  EXPECT_EQ(ResolveAddress("::1", "21", TSocketFamily::SF_Any, true, false, Sin), WSASYSNOTREADY);

  const TSocketHandle Handle = SocketApi::Socket(VARSIN_AF_INET, SocketApi::SOCK_STREAM_TYPE,
                                                 SocketApi::IPPROTO_TCP_PROTOCOL);
  EXPECT_EQ(Handle, INVALID_SOCKET_HANDLE);
  EXPECT_EQ(SocketApi::LastSocketError(), WSASYSNOTREADY);
  int Count = 0;
  EXPECT_EQ(SocketApi::BytesWaiting(Handle, Count), -1);
  EXPECT_EQ(SocketApi::WaitReadable(Handle, 0), -1);
  EXPECT_EQ(SocketApi::Close(Handle), -1);
  EXPECT_EQ(SocketApi::LastSocketError(), WSASYSNOTREADY);
  FreeSocketLibrary();
}
