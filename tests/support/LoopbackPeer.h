#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// A TCP peer on the loopback interface that a test drives by hand, so packet
// boundaries are under the test's control: every Send is one write that
// leaves at once (TCP_NODELAY). A test that sends the next piece only after
// the socket under test has returned from its read knows exactly what that
// read saw. Built on the C library directly, independent of the code it
// tests. Every wait is bounded.
class LoopbackPeer {
 public:
  enum class TAddress { IPv4, IPv6 };

  // Listens on 127.0.0.1 (or ::1) at a free port at once.
  explicit LoopbackPeer(TAddress Address = TAddress::IPv4);
  ~LoopbackPeer();
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  int Port() const { return FPort; }
  std::string PortText() const { return std::to_string(FPort); }

  // Takes the next connection the client made; false when none came.
  bool Accept(int TimeoutMs = 5000);
  // Whether a connection is waiting to be accepted.
  bool HasPendingConnection(int TimeoutMs);
  // Stops listening: connects to Port() are refused from now on.
  void CloseListener();

  // One write of the bytes on the accepted connection.
  void Send(std::string_view Bytes);
  // Sends the pieces from a thread of the peer, waiting Gap before each one,
  // so they arrive while the client is inside one blocking read; closes the
  // connection afterwards when CloseAfter is set. Join with WaitSent() before
  // driving the peer from the test again.
  void SendLater(std::vector<std::string> Pieces, std::chrono::milliseconds Gap,
                 bool CloseAfter = false);
  void WaitSent();

  // Reads until Count bytes came, the client closed, or no byte arrived for
  // TimeoutMs.
  std::string Receive(size_t Count, int TimeoutMs);
  // Reads until the client closes its sending side; no byte for TimeoutMs
  // also ends it, with Closed false.
  std::string ReceiveUntilClosed(int TimeoutMs, bool* Closed = nullptr);

  // Ends the sending side: the client reads the end of the stream.
  void ShutdownSend();
  // Closes the accepted connection in order.
  void Close();
  // Closes the accepted connection with a reset.
  void Reset();

 private:
  int FListener = -1;
  int FConnection = -1;
  int FPort = 0;
  std::thread FSender;
};
