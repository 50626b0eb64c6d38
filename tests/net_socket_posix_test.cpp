#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "net/blcksock.h"
#include "support/LoopbackPeer.h"
#include "support/LoopbackSocketLibrary.h"

// POSIX descriptors are small numbers that select cannot take above
// FD_SETSIZE; a Windows descriptor set is a list, so any handle value fits.

namespace {

const auto* const SocketLibrary = testing::AddGlobalTestEnvironment(new LoopbackSocketLibrary);

constexpr int kTimeout = 200;
constexpr int kLongWait = 5000;

}  // namespace

TEST(SocketHighDescriptor, HandlesAboveTheSelectLimitWork) {
  LoopbackPeer Peer;
  // Take every free descriptor below 1024, so the socket gets a higher one.
  const int Base = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(Base, 0);
  std::vector<int> Fillers{Base};
  while (Fillers.back() < 1023) {
    const int Next = fcntl(Base, F_DUPFD_CLOEXEC, 0);
    ASSERT_GE(Next, 0);
    Fillers.push_back(Next);
  }
  TTCPBlockSocket Sock;
  Sock.SetConvertLineEnd(true);
  Sock.Connect("127.0.0.1", Peer.PortText());
  const bool Accepted = Peer.Accept();
  for (int Fd : Fillers) close(Fd);
  ASSERT_EQ(Sock.LastError(), 0);
  ASSERT_TRUE(Accepted);
  EXPECT_GT(Sock.Socket(), 1023);
  EXPECT_EQ(Sock.RecvString(50), "");
  EXPECT_EQ(Sock.LastError(), WSAETIMEDOUT);
  Peer.Send("230 high\r\n");
  EXPECT_EQ(Sock.RecvString(kTimeout), "230 high");
  Peer.Close();
  EXPECT_EQ(Sock.RecvString(kLongWait), "");
  EXPECT_EQ(Sock.LastError(), WSAECONNRESET);
}
