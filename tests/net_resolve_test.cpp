#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "net/blcksock.h"
#include "support/LoopbackPeer.h"
#include "support/LoopbackSocketLibrary.h"
#include "support/ResolverCalls.h"

namespace {

const auto* const SocketLibrary = testing::AddGlobalTestEnvironment(new LoopbackSocketLibrary);

struct Address {
  int Family;             // AF_INET or AF_INET6
  std::string Text;       // numeric address
  int PortOverride = -1;  // -1: the port of the service text
};

struct Lookup {
  std::string Node;  // "(none)" when no node was passed
  int Family;
  bool Passive;
  bool operator==(const Lookup&) const = default;
};

std::ostream& operator<<(std::ostream& Out, const Lookup& L) {
  return Out << "{" << L.Node << ", " << L.Family << (L.Passive ? ", passive}" : "}");
}

// Stands in for getaddrinfo: answers the names it was given, passes every
// other lookup to the system's resolver, and records each call. The machine has no
// DNS, so names with only an IPv6 address or with several addresses exist
// only here.
class FakeResolver {
 public:
  explicit FakeResolver(std::map<std::string, std::vector<Address>> Names)
      : FNames(std::move(Names)), FSaved(ResolverCalls()) {
    Active = this;
    ResolverCalls().GetAddrInfo = &GetAddrInfo;
    ResolverCalls().FreeAddrInfo = &FreeAddrInfo;
  }
  ~FakeResolver() {
    ResolverCalls() = FSaved;
    Active = nullptr;
  }
  FakeResolver(const FakeResolver&) = delete;
  FakeResolver& operator=(const FakeResolver&) = delete;

  std::vector<Lookup> Calls;
  bool HintsAlwaysStreamTcp = true;
  std::set<addrinfo*> Owned;

 private:
  static int GetAddrInfo(const char* Node, const char* Service, const addrinfo* Hints,
                         addrinfo** Result) {
    FakeResolver& Self = *Active;
    Self.Calls.push_back(
        {Node != nullptr ? Node : "(none)", Hints->ai_family, (Hints->ai_flags & AI_PASSIVE) != 0});
    Self.HintsAlwaysStreamTcp = Self.HintsAlwaysStreamTcp && Hints->ai_socktype == SOCK_STREAM &&
                                Hints->ai_protocol == IPPROTO_TCP;
    const auto Found = Node != nullptr ? Self.FNames.find(Node) : Self.FNames.end();
    if (Found == Self.FNames.end()) return Self.FSaved.GetAddrInfo(Node, Service, Hints, Result);
    addrinfo* Head = nullptr;
    addrinfo** Tail = &Head;
    for (const Address& A : Found->second) {
      if (A.Family != Hints->ai_family) continue;
      const int Port = A.PortOverride >= 0 ? A.PortOverride : std::atoi(Service);
      auto* Storage = new sockaddr_storage{};
      socklen_t Length;
      if (A.Family == AF_INET) {
        auto* In = reinterpret_cast<sockaddr_in*>(Storage);
        In->sin_family = AF_INET;
        In->sin_port = htons(static_cast<uint16_t>(Port));
        inet_pton(AF_INET, A.Text.c_str(), &In->sin_addr);
        Length = sizeof(sockaddr_in);
      } else {
        auto* In6 = reinterpret_cast<sockaddr_in6*>(Storage);
        In6->sin6_family = AF_INET6;
        In6->sin6_port = htons(static_cast<uint16_t>(Port));
        inet_pton(AF_INET6, A.Text.c_str(), &In6->sin6_addr);
        Length = sizeof(sockaddr_in6);
      }
      auto* Entry = new addrinfo{};
      Entry->ai_family = A.Family;
      Entry->ai_socktype = SOCK_STREAM;
      Entry->ai_protocol = IPPROTO_TCP;
      Entry->ai_addr = reinterpret_cast<sockaddr*>(Storage);
      Entry->ai_addrlen = Length;
      *Tail = Entry;
      Tail = &Entry->ai_next;
    }
    if (Head == nullptr) return EAI_NODATA;
    Self.Owned.insert(Head);
    *Result = Head;
    return 0;
  }

  static void FreeAddrInfo(addrinfo* List) {
    FakeResolver& Self = *Active;
    if (Self.Owned.erase(List) == 0) return Self.FSaved.FreeAddrInfo(List);
    while (List != nullptr) {
      addrinfo* Next = List->ai_next;
      delete reinterpret_cast<sockaddr_storage*>(List->ai_addr);
      delete List;
      List = Next;
    }
  }

  static inline FakeResolver* Active = nullptr;
  std::map<std::string, std::vector<Address>> FNames;
  TResolverCalls FSaved;
};

// Checks a resolved record against a numeric address text.
void ExpectAddress(const TVarSin& Sin, int Family, const std::string& Text, int Port) {
  if (Family == 0) {
    EXPECT_EQ(Sin.Family, VARSIN_AF_UNSPEC);
    EXPECT_EQ(Sin.Port, 0);
    for (uint8_t B : Sin.Addr) EXPECT_EQ(B, 0);
    return;
  }
  uint8_t Expected[16] = {};
  ASSERT_EQ(inet_pton(Family, Text.c_str(), Expected), 1) << Text;
  EXPECT_EQ(Sin.Family, Family == AF_INET ? VARSIN_AF_INET : VARSIN_AF_INET6);
  EXPECT_EQ(Sin.Port, Port);
  EXPECT_EQ(std::memcmp(Sin.Addr, Expected, Family == AF_INET ? 4 : 16), 0) << Text;
}

const std::map<std::string, std::vector<Address>> TestNames = {
    {"v6only.test", {{AF_INET6, "::1"}}},
    {"multi.test",
     {{AF_INET, "10.0.0.1"}, {AF_INET, "10.0.0.2"}, {AF_INET6, "fd00::1"}, {AF_INET6, "fd00::2"}}},
};

}  // namespace

TEST(AddressText, IPv4) {
  const struct {
    const char* Text;
    bool Valid;
  } Cases[] = {
      {"127.0.0.1", true},
      {"010.0.0.1", true},
      {"255.255.255.255", true},
      {" 1 . 2 . 3 . 4 ", true},
      {"0.0.0.0", true},
      {"10.0.0", false},
      {"10.0.0.1.5", false},
      {"256.0.0.1", false},
      {"1..2.3", false},
      {"", false},
      {"a.b.c.d", false},
      {"-1.0.0.0", false},
      {"1.2.3.4x", false},
      {"0001.2.3.4", true},
      {"::1", false},
  };
  for (const auto& C : Cases) EXPECT_EQ(IsIPv4Text(C.Text), C.Valid) << C.Text;
}

TEST(AddressText, IPv6) {
  const struct {
    const char* Text;
    bool Valid;
  } Cases[] = {
      {"::", true},
      {"::1", true},
      {"::0", true},
      {"fe80::1%4", true},
      {"1:2:3:4:5:6:7:8", true},
      {"2001:DB8:0:0:0:0:0:1", true},
      {"2001:db8::ffff", true},
      {"1234", false},
      {"2001:db8::", false},
      {"1::", false},
      {"1:2:3:4:5:6:7:8:9", false},
      {"12345::1", false},
      {"g::1", false},
      {"fe80::1%lo", false},
      {"fe80::1%", false},
      {"1::2::3", false},
      {"::ffff:1.2.3.4", false},
      {"", false},
      {":", false},
      {"127.0.0.1", false},
  };
  for (const auto& C : Cases) EXPECT_EQ(IsIPv6Text(C.Text), C.Valid) << C.Text;
}

TEST(ResolveAddress, LookupsAndResults) {
  // clang-format off
  const struct {
    const char* Host;
    const char* Port;
    TSocketFamily Family;
    bool PreferIP4;
    bool SocketOpen;
    int Outcome;
    int ResultFamily;  // 0: the record stays zeroed
    const char* Result;
    int ResultPort;
    std::vector<Lookup> Calls;
  } Cases[] = {
      {"127.0.0.1", "21", TSocketFamily::SF_Any, true, false, 0, AF_INET, "127.0.0.1", 21,
       {{"(none)", AF_INET, false}}},
      {"0.0.0.0", "0", TSocketFamily::SF_Any, true, false, 0, AF_INET, "0.0.0.0", 0,
       {{"(none)", AF_INET, true}}},
      {"::1", "21", TSocketFamily::SF_Any, true, false, 0, AF_INET6, "::1", 21,
       {{"(none)", AF_INET6, false}}},
      {"::0", "990", TSocketFamily::SF_Any, true, false, 0, AF_INET6, "::", 990,
       {{"(none)", AF_INET6, true}}},
      {"v6only.test", "2121", TSocketFamily::SF_Any, true, false, 0, AF_INET6, "::1", 2121,
       {{"v6only.test", AF_INET, false}, {"v6only.test", AF_INET6, false}}},
      {"multi.test", "21", TSocketFamily::SF_Any, true, false, 0, AF_INET, "10.0.0.1", 21,
       {{"multi.test", AF_INET, false}}},
      {"multi.test", "21", TSocketFamily::SF_Any, false, false, 0, AF_INET6, "fd00::1", 21,
       {{"multi.test", AF_INET6, false}}},
      {"nosuchhost.invalid", "21", TSocketFamily::SF_Any, true, false, WSAHOST_NOT_FOUND, 0, "", 0,
       {{"nosuchhost.invalid", AF_INET, false}, {"nosuchhost.invalid", AF_INET6, false}}},
      // A family set on the socket wins over the host text.
      {"127.0.0.1", "21", TSocketFamily::SF_IP6, true, false, 0, AF_INET6, "::1", 21,
       {{"(none)", AF_INET6, false}}},
      {"::1", "21", TSocketFamily::SF_IP4, true, false, 0, AF_INET, "127.0.0.1", 21,
       {{"(none)", AF_INET, false}}},
      // With the OS socket open the host text does not choose the family.
      {"::1", "21", TSocketFamily::SF_Any, true, true, 0, AF_INET, "127.0.0.1", 21,
       {{"(none)", AF_INET, false}}},
      {"localhost", "ftp", TSocketFamily::SF_Any, true, false, 0, AF_INET, "127.0.0.1", 21,
       {{"localhost", AF_INET, false}}},
      {"127.0.0.1", "nosuchservice", TSocketFamily::SF_Any, true, false, 10109, 0, "", 0,
       {{"(none)", AF_INET, false}}},
      // Host texts reach the resolver in code page 1251.
      {"Хост", "21", TSocketFamily::SF_Any, true, false, WSAHOST_NOT_FOUND, 0, "", 0,
       {{"\xD5\xEE\xF1\xF2", AF_INET, false}, {"\xD5\xEE\xF1\xF2", AF_INET6, false}}},
  };
  // clang-format on
  for (const auto& C : Cases) {
    SCOPED_TRACE(std::string(C.Host) + " port " + C.Port);
    FakeResolver Fake(TestNames);
    TVarSin Sin;
    Sin.Family = VARSIN_AF_INET;
    Sin.Port = 9999;  // stale content must not survive
    EXPECT_EQ(ResolveAddress(C.Host, C.Port, C.Family, C.PreferIP4, C.SocketOpen, Sin), C.Outcome);
    ExpectAddress(Sin, C.ResultFamily, C.Result, C.ResultPort);
    EXPECT_EQ(Fake.Calls, C.Calls);
    EXPECT_TRUE(Fake.HintsAlwaysStreamTcp);
    EXPECT_TRUE(Fake.Owned.empty()) << "every answer list is freed";
  }
}

TEST(ResolveAddress, UnknownHostFailsQuicklyWithHostNotFound) {
  TVarSin Sin;
  EXPECT_EQ(ResolveAddress("nosuchhost.invalid", "21", TSocketFamily::SF_Any, true, false, Sin),
            WSAHOST_NOT_FOUND);
  ExpectAddress(Sin, 0, "", 0);
}

TEST(ResolveAddress, LegacyResolverWhenTheLibraryLacksGetaddrinfo) {
  const TResolverAvailability Saved = ResolverAvailability();
  // clang-format off
  const struct {
    TResolverAvailability Availability;
    const char* Host;
    const char* Port;
    int Outcome;
    int ResultFamily;
    const char* Result;
    int ResultPort;
  } Cases[] = {
      {{false, false}, "127.0.0.1", "21", 0, AF_INET, "127.0.0.1", 21},
      {{false, false}, "10.1.2.3", "2121", 0, AF_INET, "10.1.2.3", 2121},
      {{false, false}, "localhost", "ftp", 0, AF_INET, "127.0.0.1", 21},
      {{false, false}, "255.255.255.255", "x", 0, AF_INET, "255.255.255.255", 0},
      {{false, false}, "nosuchhost.invalid", "21", WSAHOST_NOT_FOUND, AF_INET, "0.0.0.0", 21},
      // getaddrinfo for IPv6 only: IPv6 texts use it, everything else the
      // legacy calls.
      {{false, true}, "::1", "21", 0, AF_INET6, "::1", 21},
      {{false, true}, "localhost", "21", 0, AF_INET, "127.0.0.1", 21},
  };
  // clang-format on
  for (const auto& C : Cases) {
    SCOPED_TRACE(std::string(C.Host) + " port " + C.Port);
    SetResolverAvailability(C.Availability);
    TVarSin Sin;
    EXPECT_EQ(ResolveAddress(C.Host, C.Port, TSocketFamily::SF_Any, true, false, Sin), C.Outcome);
    ExpectAddress(Sin, C.ResultFamily, C.Result, C.ResultPort);
  }
  SetResolverAvailability(Saved);
}

TEST(SocketLibrary, LoadsAreCountedAndNeverGoBelowZero) {
  ASSERT_TRUE(ResolverAvailability().AllFamilies);  // loaded once for the program
  ASSERT_TRUE(LoadSocketLibrary());
  FreeSocketLibrary();
  EXPECT_TRUE(ResolverAvailability().AllFamilies);
  FreeSocketLibrary();
  EXPECT_FALSE(ResolverAvailability().AllFamilies);
  FreeSocketLibrary();
  ASSERT_TRUE(LoadSocketLibrary());
  EXPECT_TRUE(ResolverAvailability().AllFamilies);
  EXPECT_FALSE(ResolverAvailability().IPv6Only);
}

TEST(SocketResolve, OnlyTheFirstAddressOfTheFirstPassIsTried) {
  LoopbackPeer Peer;
  LoopbackPeer Closed;
  Closed.CloseListener();
  // The first address refuses; the second would answer but is never tried.
  FakeResolver Fake(
      {{"twice.test",
        {{AF_INET, "127.0.0.1", Closed.Port()}, {AF_INET, "127.0.0.1", Peer.Port()}}}});
  TTCPBlockSocket Sock;
  Sock.Connect("twice.test", "21");
  EXPECT_EQ(Sock.LastError(), WSAECONNREFUSED);
  EXPECT_FALSE(Peer.HasPendingConnection(100));
  EXPECT_EQ(Fake.Calls, (std::vector<Lookup>{{"twice.test", AF_INET, false}}));
}

TEST(SocketResolve, NameWithOnlyAnIPv6AddressConnectsOverIPv6) {
  LoopbackPeer Peer(LoopbackPeer::TAddress::IPv6);
  FakeResolver Fake(TestNames);
  TTCPBlockSocket Sock;
  Sock.Connect("v6only.test", Peer.PortText());
  ASSERT_EQ(Sock.LastError(), 0) << Sock.LastErrorDesc();
  EXPECT_TRUE(Peer.Accept());
  EXPECT_TRUE(Sock.IP6used());
  // Every connect resolves again: nothing is cached.
  Sock.CloseSocket();
  Sock.Connect("v6only.test", Peer.PortText());
  EXPECT_EQ(Sock.LastError(), 0);
  EXPECT_EQ(Fake.Calls.size(), 4u);
}
