#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "net/blcksock.h"
#include "support/LoopbackPeer.h"
#include "support/LoopbackSocketLibrary.h"

namespace {

const auto* const SocketLibrary = testing::AddGlobalTestEnvironment(new LoopbackSocketLibrary);

// Short waits: a read that must time out does so quickly, and a read that
// must succeed has the peer's bytes already on their way.
constexpr int kTimeout = 200;
constexpr int kLongWait = 5000;

using namespace std::chrono_literals;

std::string PatternBytes(size_t Size) {
  std::string Bytes(Size, '\0');
  uint32_t State = 0x12345678;
  for (char& B : Bytes) {
    State = State * 1103515245 + 12345;
    B = static_cast<char>(State >> 23);
  }
  return Bytes;
}

class SocketTest : public testing::Test {
 protected:
  void ConnectPeer() {
    Sock.Connect("127.0.0.1", Peer.PortText());
    ASSERT_EQ(Sock.LastError(), 0) << Sock.LastErrorDesc();
    ASSERT_TRUE(Peer.Accept());
  }

  // Waits (bounded) until the peer's bytes have reached the socket.
  void WaitForIncoming() {
    for (int Try = 0; Try < 500 && Sock.WaitingData() == 0; ++Try) std::this_thread::sleep_for(1ms);
  }

  // Declared first so that the socket under test closes before its peer.
  LoopbackPeer Peer;
  TTCPBlockSocket Sock;
};

// Exposes the protected state that only the class itself changes.
class TInspectableSocket : public TTCPBlockSocket {
 public:
  void ForceFamily(TSocketFamily Value) { FFamily = Value; }
  void ForceLastError(int Value) { FLastError = Value; }
};

}  // namespace

TEST(SocketDefaults, NewSocketIsClosedWithTheDocumentedSettings) {
  TTCPBlockSocket Sock;
  EXPECT_EQ(Sock.Socket(), INVALID_SOCKET_HANDLE);
  EXPECT_EQ(Sock.LastError(), 0);
  EXPECT_EQ(Sock.LastErrorDesc(), "");
  EXPECT_EQ(Sock.LineBuffer(), "");
  EXPECT_FALSE(Sock.ConvertLineEnd());
  EXPECT_EQ(Sock.MaxLineLength(), 0);
  EXPECT_TRUE(Sock.InterPacketTimeout());
  EXPECT_EQ(Sock.Family(), TSocketFamily::SF_Any);
  EXPECT_TRUE(Sock.PreferIP4());
  EXPECT_FALSE(Sock.IP6used());
  EXPECT_EQ(Sock.SendMaxChunk(), 65536);
  EXPECT_EQ(Sock.NonblockSendTimeout(), 15000);
  EXPECT_EQ(Sock.GetSocketType(), 1);
  EXPECT_EQ(Sock.GetSocketProtocol(), 6);
  EXPECT_EQ(Sock.SocksIP(), "");
}

TEST(SocketErrors, TextsOfTheTableAndOfUnknownNumbers) {
  const struct {
    int Code;
    const char* Text;
  } Cases[] = {
      {0, ""},
      {1, "Other Winsock error (1)"},
      {10000, "Other Winsock error (10000)"},
      {10004, "Interrupted system call"},
      {10035, "Operation would block"},
      {10041, "Protocol wrong type for Socket"},
      {10049, "Can't assign requested address"},
      {10054, "Connection reset by peer"},
      {10055, "No Buffer space available"},
      {10059, "Too many references:can't splice"},
      {10060, "Connection timed out"},
      {10061, "Connection refused"},
      {10065, "No route to host"},
      {10071, "Too many levels of remote in path"},
      {10072, "Other Winsock error (10072)"},
      {10092, "Winsock DLL cannot support this application"},
      {10101, "Disconnect"},
      {11001, "Host not found"},
      {11002, "Non authoritative - host not found"},
      {11003, "Non recoverable error"},
      {11004, "Valid name, no data record of requested type"},
      {-5, "Other Winsock error (-5)"},
  };
  for (const auto& C : Cases) EXPECT_EQ(TBlockSocket::GetErrorDesc(C.Code), C.Text) << C.Code;
}

// Each case is a conversation: the peer sends a packet, then the socket reads
// the listed lines (or a read runs into the time-out), before the next packet
// leaves. So every read sees exactly the packets sent so far.
TEST(SocketLineReading, LineEndsAcrossPackets) {
  struct Step {
    std::string Packet;
    std::vector<std::string> Lines;
    bool TimesOut = false;
  };
  const struct {
    const char* Name;
    bool ConvertLineEnd;
    std::vector<Step> Steps;
  } Cases[] = {
      {"two lines in one packet", true, {{"220 Ready\r\n230 In\r\n", {"220 Ready", "230 In"}}}},
      {"CR, then LF in the next packet", true, {{"abc\r", {"abc"}}, {"\ndef\r\n", {"def"}}}},
      {"LF, then CR in the next packet", true, {{"abc\n", {"abc"}}, {"\rdef\r\n", {"def"}}}},
      {"LF CR is one line end", true, {{"abc\n\rdef\r\n", {"abc", "def"}}}},
      {"CR CR LF gives an empty line", true, {{"abc\r\r\ndef\r\n", {"abc", "", "def"}}}},
      {"lone CR and lone LF end lines", true, {{"a\nb\rc\r\n", {"a", "b", "c"}}}},
      {"only the first LF after a lone CR is dropped",
       true,
       {{"abc\r", {"abc"}}, {"\n\ndef\r\n", {"", "def"}}}},
      {"a non-empty receive forgets the lone CR",
       true,
       {{"abc\r", {"abc"}}, {"x\r\n", {"x"}}, {"\ndef\r\n", {"", "def"}}}},
      {"a line end split over a time-out", true, {{"ab", {}, true}, {"c\r\n", {"abc"}}}},
      {"without conversion only CR LF ends a line",
       false,
       {{"abc\ndef\rghi\r\n", {"abc\ndef\rghi"}}}},
      {"without conversion CR LF split across packets",
       false,
       {{"abc\r", {}, true}, {"\ndef\r\n", {"abc", "def"}}}},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    LoopbackPeer Peer;
    TTCPBlockSocket Sock;
    Sock.SetConvertLineEnd(Case.ConvertLineEnd);
    Sock.Connect("127.0.0.1", Peer.PortText());
    ASSERT_EQ(Sock.LastError(), 0);
    ASSERT_TRUE(Peer.Accept());
    for (const Step& S : Case.Steps) {
      Peer.Send(S.Packet);
      for (const std::string& Line : S.Lines) {
        EXPECT_EQ(Sock.RecvString(kTimeout), Line);
        EXPECT_EQ(Sock.LastError(), 0);
      }
      if (S.TimesOut) {
        EXPECT_EQ(Sock.RecvString(kTimeout), "");
        EXPECT_EQ(Sock.LastError(), WSAETIMEDOUT);
      }
    }
    EXPECT_EQ(Sock.LineBuffer(), "");
  }
}

TEST_F(SocketTest, SecondLineOfAPacketComesFromTheLineBufferWithoutWaiting) {
  Sock.SetConvertLineEnd(true);
  ConnectPeer();
  Peer.Send("220 Ready\r\n230 In\r\n");
  EXPECT_EQ(Sock.RecvString(kTimeout), "220 Ready");
  EXPECT_EQ(Sock.LineBuffer(), "230 In\r\n");
  // A zero time-out would fail at once if the network were asked.
  EXPECT_EQ(Sock.RecvString(0), "230 In");
  EXPECT_EQ(Sock.LastError(), 0);
}

TEST_F(SocketTest, LineArrivingInPiecesIsReturnedHoweverLongItTakes) {
  Sock.SetConvertLineEnd(true);
  ConnectPeer();
  // Twelve pieces 50 ms apart: 600 ms in all, three times the time-out,
  // but each piece comes well within the time-out of the previous one.
  std::vector<std::string> Pieces;
  std::string Expected;
  for (int I = 0; I < 12; ++I) {
    Pieces.push_back("p" + std::to_string(I));
    Expected += Pieces.back();
  }
  Pieces.emplace_back("\r\n");
  Peer.SendLater(Pieces, 50ms);
  EXPECT_EQ(Sock.RecvString(300), Expected);
  EXPECT_EQ(Sock.LastError(), 0);
  Peer.WaitSent();
}

TEST_F(SocketTest, WholeCallLimitWhenInterPacketTimeoutIsOff) {
  Sock.SetInterPacketTimeout(false);
  ConnectPeer();
  Peer.SendLater({"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "\r\n"}, 60ms);
  EXPECT_EQ(Sock.RecvString(kTimeout), "");
  EXPECT_EQ(Sock.LastError(), WSAETIMEDOUT);
  const std::string Kept(Sock.LineBuffer());
  EXPECT_FALSE(Kept.empty());
  EXPECT_EQ(Kept, std::string("abcdefghij").substr(0, Kept.size()));
  Peer.WaitSent();
}

TEST_F(SocketTest, SilenceTimesOutAndKeepsThePartialLine) {
  Sock.SetConvertLineEnd(true);
  ConnectPeer();
  Peer.Send("220 Rea");
  EXPECT_EQ(Sock.RecvString(kTimeout), "");
  EXPECT_EQ(Sock.LastError(), WSAETIMEDOUT);
  EXPECT_EQ(Sock.LastErrorDesc(), "Connection timed out");
  EXPECT_EQ(Sock.LineBuffer(), "220 Rea");
  Peer.Send("dy\r\n");
  EXPECT_EQ(Sock.RecvString(kTimeout), "220 Ready");
  EXPECT_EQ(Sock.LastError(), 0);
  EXPECT_EQ(Sock.LastErrorDesc(), "");
}

TEST_F(SocketTest, TextWithoutLineEndThenCloseGivesResetAndStaysBuffered) {
  Sock.SetConvertLineEnd(true);
  ConnectPeer();
  Peer.Send("221 Bye");
  Peer.Close();
  EXPECT_EQ(Sock.RecvString(kLongWait), "");
  EXPECT_EQ(Sock.LastError(), WSAECONNRESET);
  EXPECT_EQ(Sock.LastErrorDesc(), "Connection reset by peer");
  EXPECT_EQ(Sock.LineBuffer(), "221 Bye");
  // Closing with the error pending skips the orderly shutdown and its purge:
  // the error and the unreturned bytes stay.
  Sock.CloseSocket();
  EXPECT_EQ(Sock.Socket(), INVALID_SOCKET_HANDLE);
  EXPECT_EQ(Sock.LastError(), WSAECONNRESET);
  EXPECT_EQ(Sock.LineBuffer(), "221 Bye");
}

TEST_F(SocketTest, LineLongerThanTheLimitFailsWithNoBufferSpace) {
  Sock.SetMaxLineLength(5);
  ConnectPeer();
  Peer.Send("123456789\r\n");
  EXPECT_EQ(Sock.RecvString(kTimeout), "");
  EXPECT_EQ(Sock.LastError(), WSAENOBUFS);
  EXPECT_EQ(Sock.LastErrorDesc(), "No Buffer space available");
  EXPECT_EQ(Sock.LineBuffer(), "123456789\r\n");
}

TEST_F(SocketTest, OtherTerminatorsAreSearchedAsTheyAre) {
  Sock.SetConvertLineEnd(true);
  ConnectPeer();
  Peer.Send("a\r\nb;c;");
  EXPECT_EQ(Sock.RecvTerminated(kTimeout, ";"), "a\r\nb");
  EXPECT_EQ(Sock.RecvTerminated(kTimeout, ";"), "c");
  EXPECT_EQ(Sock.RecvTerminated(kTimeout, ""), "");
  EXPECT_EQ(Sock.LastError(), 0);
}

TEST_F(SocketTest, TerminatorOfSeveralBytesSplitAcrossPackets) {
  ConnectPeer();
  Peer.SendLater({"one;", ";two", ";;"}, 50ms);
  EXPECT_EQ(Sock.RecvTerminated(kLongWait, ";;"), "one");
  EXPECT_EQ(Sock.RecvTerminated(kLongWait, ";;"), "two");
  EXPECT_EQ(Sock.LastError(), 0);
  EXPECT_EQ(Sock.LineBuffer(), "");
  Peer.WaitSent();
}

// Mended fault: reading a line costs time linear in its bytes, however it
// arrives. Searching the whole line again after every packet, or moving the
// rest of the buffer forward after every line, costs seconds of processor
// time for what follows; done right it costs milliseconds.
TEST_F(SocketTest, LongLinesAndManyLinesCostTimeLinearInTheirBytes) {
  const auto CpuTime = [] {
    timespec Now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &Now);
    return std::chrono::seconds(Now.tv_sec) + std::chrono::nanoseconds(Now.tv_nsec);
  };
  constexpr auto Bound = 1000ms;
  Sock.SetConvertLineEnd(true);
  ConnectPeer();

  // A 2 MiB line in 1 KiB pieces, a piece a millisecond.
  std::vector<std::string> Pieces(2048, std::string(1024, 'x'));
  Pieces.emplace_back("\r\n");
  Peer.SendLater(Pieces, 1ms);
  auto Start = CpuTime();
  EXPECT_EQ(Sock.RecvString(kLongWait).size(), 2048u * 1024);
  EXPECT_LT(CpuTime() - Start, Bound);
  Peer.WaitSent();

  // 2 MiB of 32-byte lines waiting in the line buffer at once.
  const std::string Line(30, 'y');
  constexpr int LineCount = 65536;
  std::string Lines;
  for (int I = 0; I < LineCount; ++I) Lines += Line + "\r\n";
  Sock.SetLineBuffer(Lines);
  Start = CpuTime();
  int Read = 0;
  while (Read < LineCount && Sock.RecvString(kTimeout) == Line) ++Read;
  EXPECT_LT(CpuTime() - Start, Bound);
  EXPECT_EQ(Read, LineCount);
  EXPECT_EQ(Sock.LineBuffer(), "");
}

TEST_F(SocketTest, RecvPacketToWritesStraightIntoTheStream) {
  Sock.SetConvertLineEnd(true);
  ConnectPeer();
  Peer.Send("220 a\r");
  EXPECT_EQ(Sock.RecvString(kTimeout), "220 a");
  TMemoryStream Stream;
  Stream.Write("0123456789");
  Stream.SetPosition(2);
  // The partner of the lone CR that ended the line is dropped here too.
  Peer.Send("\nab");
  WaitForIncoming();
  EXPECT_EQ(Sock.RecvPacketTo(Stream, kTimeout), 2);
  EXPECT_EQ(Stream.Bytes(), "01ab456789");
  EXPECT_EQ(Stream.Position(), 4);
  Sock.SetLineBuffer("LINE");
  Stream.SetPosition(8);
  EXPECT_EQ(Sock.RecvPacketTo(Stream, kTimeout), 4);
  EXPECT_EQ(Stream.Bytes(), "01ab4567LINE");
  EXPECT_EQ(Sock.LineBuffer(), "");
  EXPECT_EQ(Sock.RecvPacketTo(Stream, kTimeout), 0);
  EXPECT_EQ(Sock.LastError(), WSAETIMEDOUT);
  EXPECT_EQ(Stream.Size(), 12);
}

TEST_F(SocketTest, RecvPacketHandsOverTheLineBufferFirst) {
  ConnectPeer();
  Sock.SetLineBuffer("kept");
  Peer.Send("fresh");
  EXPECT_EQ(Sock.RecvPacket(kTimeout), "kept");
  EXPECT_EQ(Sock.LineBuffer(), "");
  EXPECT_EQ(Sock.RecvPacket(kTimeout), "fresh");
  EXPECT_EQ(Sock.RecvPacket(kTimeout), "");
  EXPECT_EQ(Sock.LastError(), WSAETIMEDOUT);
}

TEST_F(SocketTest, RecvStreamRawOnAnImmediateCloseLeavesTheStreamAlone) {
  ConnectPeer();
  Peer.Close();
  TMemoryStream Stream;
  Stream.Write("keep");
  Sock.RecvStreamRaw(Stream, kLongWait);
  EXPECT_EQ(Sock.LastError(), WSAECONNRESET);
  EXPECT_EQ(Stream.Bytes(), "keep");
  EXPECT_EQ(Stream.Position(), 4);
}

TEST_F(SocketTest, RecvStreamRawDeliversBufferedBytesFirstAndEndsOnSilence) {
  Sock.SetConvertLineEnd(true);
  ConnectPeer();
  Peer.Send("150 Here\r\nDATA");
  EXPECT_EQ(Sock.RecvString(kTimeout), "150 Here");
  TMemoryStream Stream;
  Sock.RecvStreamRaw(Stream, kTimeout);
  EXPECT_EQ(Sock.LastError(), WSAETIMEDOUT);
  EXPECT_EQ(Stream.Bytes(), "DATA");
}

TEST_F(SocketTest, StreamsOfSeveralMebibytesArriveByteExact) {
  const std::string Data = PatternBytes(5 * 1024 * 1024 + 123);

  ConnectPeer();
  std::string Uploaded;
  bool PeerSawEnd = false;
  std::thread Reader([&] { Uploaded = Peer.ReceiveUntilClosed(kLongWait, &PeerSawEnd); });
  TMemoryStream Source;
  Source.Assign(Data);
  Sock.SendStreamRaw(Source);
  EXPECT_EQ(Sock.LastError(), 0);
  EXPECT_EQ(Source.Position(), Source.Size());
  Sock.CloseSocket();
  Reader.join();
  EXPECT_TRUE(PeerSawEnd);
  EXPECT_EQ(Uploaded.size(), Data.size());
  EXPECT_TRUE(Uploaded == Data);

  ConnectPeer();
  Peer.SendLater({Data}, 0ms, true);
  TMemoryStream Target;
  Sock.RecvStreamRaw(Target, kLongWait);
  Peer.WaitSent();
  EXPECT_EQ(Sock.LastError(), WSAECONNRESET);
  EXPECT_EQ(Target.Size(), static_cast<int64_t>(Data.size()));
  EXPECT_TRUE(Target.Bytes() == Data);
}

TEST_F(SocketTest, SendBufferInSmallChunksAndWithNothingToSend) {
  ConnectPeer();
  Sock.SetSendMaxChunk(1000);
  const std::string Data = PatternBytes(10500);
  EXPECT_EQ(Sock.SendBuffer(Data.data(), static_cast<int>(Data.size())), 10500);
  EXPECT_EQ(Sock.LastError(), 0);
  EXPECT_TRUE(Peer.Receive(Data.size(), kLongWait) == Data);

  EXPECT_EQ(Sock.SendBuffer(Data.data(), 0), 0);
  EXPECT_EQ(Sock.SendBuffer(Data.data(), -1), 0);
  EXPECT_EQ(Peer.Receive(1, kTimeout), "");
}

TEST_F(SocketTest, SendingToAClosedPeerFailsWithoutKillingTheProcess) {
  ConnectPeer();
  Peer.Close();
  // The first sends may still be taken; the peer answers with a reset, and
  // the OS reports it once. Sends after that find the connection broken
  // (EPIPE), which raises SIGPIPE unless the send asks it not to.
  const std::string Block(4096, 'x');
  for (int Try = 0; Try < 200 && Sock.LastError() == 0; ++Try) {
    Sock.SendString(Block);
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(Sock.LastError(), WSAECONNRESET);
  for (int Again = 0; Again < 3; ++Again) {
    Sock.SendString(Block);
    EXPECT_EQ(Sock.LastError(), WSAECONNRESET);
    EXPECT_EQ(Sock.LastErrorDesc(), "Connection reset by peer");
  }
}

TEST_F(SocketTest, PurgeDropsWhatArrivedAndClearsTheError) {
  Sock.SetConvertLineEnd(true);
  ConnectPeer();
  Peer.Send("unasked\r\n");
  WaitForIncoming();
  // A read that runs out of time leaves an error and buffered bytes behind.
  EXPECT_EQ(Sock.RecvTerminated(0, "#"), "");
  EXPECT_EQ(Sock.LastError(), WSAETIMEDOUT);
  EXPECT_EQ(Sock.LineBuffer(), "unasked\r\n");
  Peer.Send("late\r\n");
  WaitForIncoming();
  Sock.Purge();
  EXPECT_EQ(Sock.LastError(), 0);
  EXPECT_EQ(Sock.LastErrorDesc(), "");
  EXPECT_EQ(Sock.LineBuffer(), "");
  EXPECT_EQ(Sock.WaitingData(), 0);
  Peer.Send("next\r\n");
  EXPECT_EQ(Sock.RecvString(kTimeout), "next");
}

TEST_F(SocketTest, PurgeGivesALateReplyAtLeastAMillisecondEveryTime) {
  ConnectPeer();
  for (int Round = 0; Round < 20; ++Round) {
    const auto Start = std::chrono::steady_clock::now();
    Sock.Purge();
    EXPECT_GE(std::chrono::steady_clock::now() - Start, 1ms);
  }
}

TEST_F(SocketTest, CleanCloseShutsDownInOrderAndClearsTheError) {
  ConnectPeer();
  Peer.Send("unread");
  WaitForIncoming();
  Sock.CloseSocket();
  EXPECT_EQ(Sock.Socket(), INVALID_SOCKET_HANDLE);
  EXPECT_EQ(Sock.LastError(), 0);
  bool PeerSawEnd = false;
  EXPECT_EQ(Peer.ReceiveUntilClosed(kLongWait, &PeerSawEnd), "");
  EXPECT_TRUE(PeerSawEnd);
}

TEST_F(SocketTest, AbortClosesWithoutShutdownAndRestoresTheFamily) {
  TInspectableSocket Inspected;
  Inspected.ForceFamily(TSocketFamily::SF_IP6);
  Inspected.ForceLastError(WSAETIMEDOUT);
  Inspected.CloseSocket();  // closed already: only the family comes back
  EXPECT_EQ(Inspected.Family(), TSocketFamily::SF_Any);
  EXPECT_EQ(Inspected.LastError(), WSAETIMEDOUT);

  Inspected.Connect("127.0.0.1", Peer.PortText());
  ASSERT_EQ(Inspected.LastError(), 0);
  ASSERT_TRUE(Peer.Accept());
  Inspected.ForceFamily(TSocketFamily::SF_IP4);
  Inspected.AbortSocket();
  EXPECT_EQ(Inspected.Socket(), INVALID_SOCKET_HANDLE);
  EXPECT_EQ(Inspected.Family(), TSocketFamily::SF_Any);
  bool PeerSawEnd = false;
  Peer.ReceiveUntilClosed(kLongWait, &PeerSawEnd);
  EXPECT_TRUE(PeerSawEnd);
}

TEST_F(SocketTest, ConnectEmptiesTheLineBufferAndForgetsALoneCR) {
  Sock.SetConvertLineEnd(true);
  ConnectPeer();
  Peer.Send("abc\rleft");
  EXPECT_EQ(Sock.RecvString(kTimeout), "abc");
  EXPECT_EQ(Sock.LineBuffer(), "left");
  Sock.CloseSocket();

  ConnectPeer();
  EXPECT_EQ(Sock.LineBuffer(), "");
  Peer.Send("\ndef\r\n");
  EXPECT_EQ(Sock.RecvString(kTimeout), "");  // the LF is a line end of its own now
  EXPECT_EQ(Sock.LastError(), 0);
  EXPECT_EQ(Sock.RecvString(kTimeout), "def");
}

TEST_F(SocketTest, ConnectToTheIPv4LoopbackFillsTheAddresses) {
  ConnectPeer();
  EXPECT_NE(Sock.Socket(), INVALID_SOCKET_HANDLE);
  EXPECT_FALSE(Sock.IP6used());
  EXPECT_EQ(Sock.RemoteSin().Family, VARSIN_AF_INET);
  EXPECT_EQ(Sock.RemoteSin().Port, Peer.Port());
  const uint8_t Loopback[4] = {127, 0, 0, 1};
  EXPECT_TRUE(std::equal(Loopback, Loopback + 4, Sock.RemoteSin().Addr));
  EXPECT_EQ(Sock.LocalSin().Family, VARSIN_AF_INET);
  EXPECT_NE(Sock.LocalSin().Port, 0);
}

TEST(SocketIPv6, ConnectToTheIPv6LoopbackUsesIPv6) {
  LoopbackPeer Peer(LoopbackPeer::TAddress::IPv6);
  TTCPBlockSocket Sock;
  Sock.SetConvertLineEnd(true);
  Sock.Connect("::1", Peer.PortText());
  ASSERT_EQ(Sock.LastError(), 0) << Sock.LastErrorDesc();
  ASSERT_TRUE(Peer.Accept());
  EXPECT_TRUE(Sock.IP6used());
  EXPECT_EQ(Sock.RemoteSin().Family, VARSIN_AF_INET6);
  EXPECT_EQ(Sock.RemoteSin().Port, Peer.Port());
  EXPECT_EQ(Sock.RemoteSin().Addr[15], 1);
  Peer.Send("220 over six\r\n");
  EXPECT_EQ(Sock.RecvString(kTimeout), "220 over six");
  // Each close restores the family, so the next host text chooses afresh.
  Sock.CloseSocket();
  EXPECT_EQ(Sock.Family(), TSocketFamily::SF_Any);
}

TEST(SocketConnect, RefusedConnectionKeepsTheSocketUntilClosed) {
  LoopbackPeer Peer;
  Peer.CloseListener();
  TTCPBlockSocket Sock;
  Sock.SetLineBuffer("old");
  Sock.Connect("127.0.0.1", Peer.PortText());
  EXPECT_EQ(Sock.LastError(), WSAECONNREFUSED);
  EXPECT_EQ(Sock.LastErrorDesc(), "Connection refused");
  EXPECT_NE(Sock.Socket(), INVALID_SOCKET_HANDLE);
  EXPECT_EQ(Sock.LineBuffer(), "");
  Sock.CloseSocket();
  EXPECT_EQ(Sock.Socket(), INVALID_SOCKET_HANDLE);
  EXPECT_EQ(Sock.LastError(), WSAECONNREFUSED);
}

TEST(SocketConnect, UnknownHostFailsWithoutASocket) {
  TTCPBlockSocket Sock;
  Sock.SetLineBuffer("untouched");
  Sock.Connect("nosuchhost.invalid", "21");
  EXPECT_EQ(Sock.LastError(), WSAHOST_NOT_FOUND);
  EXPECT_EQ(Sock.LastErrorDesc(), "Host not found");
  EXPECT_EQ(Sock.Socket(), INVALID_SOCKET_HANDLE);
  EXPECT_EQ(Sock.LineBuffer(), "untouched");
}

TEST(SocketBind, AnyAddressAndPortZeroOnAClosedSocketDoNothing) {
  TTCPBlockSocket Sock;
  Sock.SetLineBuffer("kept");
  Sock.Bind("0.0.0.0", "0");
  EXPECT_EQ(Sock.LastError(), 0);
  EXPECT_EQ(Sock.Socket(), INVALID_SOCKET_HANDLE);
  EXPECT_EQ(Sock.LineBuffer(), "kept");
}

TEST(SocketBind, RealBindOpensTheSocketThatConnectThenUses) {
  LoopbackPeer Peer;
  TTCPBlockSocket Sock;
  Sock.SetLineBuffer("dropped");
  Sock.Bind("127.0.0.1", "0");
  ASSERT_EQ(Sock.LastError(), 0) << Sock.LastErrorDesc();
  const TSocketHandle Bound = Sock.Socket();
  EXPECT_NE(Bound, INVALID_SOCKET_HANDLE);
  EXPECT_EQ(Sock.LineBuffer(), "");
  EXPECT_NE(Sock.LocalSin().Port, 0);
  const uint16_t BoundPort = Sock.LocalSin().Port;
  Sock.Connect("127.0.0.1", Peer.PortText());
  ASSERT_EQ(Sock.LastError(), 0) << Sock.LastErrorDesc();
  EXPECT_EQ(Sock.Socket(), Bound);
  EXPECT_EQ(Sock.LocalSin().Port, BoundPort);
  EXPECT_TRUE(Peer.Accept());
}

TEST(SocketLocalName, GivesTheHostName) {
  TTCPBlockSocket Sock;
  const std::string Name = Sock.LocalName();
  EXPECT_FALSE(Name.empty());
  EXPECT_EQ(Name.find('\0'), std::string::npos);
}

TEST(SocketThreads, SessionsOnSeveralThreadsRunSideBySide) {
  const auto Session = [](int Id, int& Failures) {
    for (int Round = 0; Round < 20; ++Round) {
      LoopbackPeer Peer;
      TTCPBlockSocket Sock;
      Sock.SetConvertLineEnd(true);
      Sock.Connect("localhost", Peer.PortText());
      if (Sock.LastError() != 0 || !Peer.Accept()) {
        ++Failures;
        continue;
      }
      const std::string Line =
          "200 thread " + std::to_string(Id) + " round " + std::to_string(Round);
      Sock.SendString(Line + "\r\n");
      Peer.Send(Peer.Receive(Line.size() + 2, kLongWait));
      if (Sock.RecvString(kLongWait) != Line) ++Failures;
    }
  };
  int Failures[3] = {};
  std::vector<std::thread> Threads;
  Threads.reserve(3);
  for (int Id = 0; Id < 3; ++Id) Threads.emplace_back(Session, Id, std::ref(Failures[Id]));
  for (auto& T : Threads) T.join();
  for (int F : Failures) EXPECT_EQ(F, 0);
}
